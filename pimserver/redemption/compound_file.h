// Writer of OLE2 compound files (structured storage), version 3: 512-byte
// sectors, 64-byte mini sectors for streams under 4096 bytes, directory
// siblings kept as a red-black tree in the format's name order.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pim::cfb {

using Bytes = std::vector<std::uint8_t>;

// Storage and stream names: at most 31 UTF-16 units, none of '/', '\\', ':', '!'.
// Breaking that rule throws std::invalid_argument.
class Storage {
public:
    // The child storage of that name, created on first use.
    Storage& storage(std::u16string_view name);
    // Adds or replaces a child stream.
    void stream(std::u16string_view name, Bytes data);

    struct Node;
    const std::vector<std::unique_ptr<Node>>& children() const { return children_; }

private:
    Node& child(std::u16string_view name, bool isStorage);
    std::vector<std::unique_ptr<Node>> children_;
};

struct Storage::Node {
    std::u16string name;
    bool isStorage = false;
    Storage storage;  // when isStorage
    Bytes data;       // when a stream
};

class CompoundFile {
public:
    Storage& root() { return root_; }
    const Storage& root() const { return root_; }
    // The whole file. Throws std::length_error past what version 3 can address.
    Bytes serialize() const;

private:
    Storage root_;
};

// Sibling order of the format: shorter names first, then by upper-cased UTF-16 units.
int compareNames(std::u16string_view a, std::u16string_view b);

inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr std::uint32_t kFreeSector = 0xFFFFFFFF;
inline constexpr std::uint32_t kFatSector = 0xFFFFFFFD;
inline constexpr std::uint32_t kDifatSector = 0xFFFFFFFC;
inline constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

}  // namespace pim::cfb
