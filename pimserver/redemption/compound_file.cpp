#include "compound_file.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace pim::cfb {

namespace {

constexpr std::size_t kSector = 512;
constexpr std::size_t kMiniSector = 64;
constexpr std::size_t kMiniCutoff = 4096;
constexpr std::size_t kEntriesPerFatSector = kSector / 4;
constexpr std::size_t kHeaderDifat = 109;
constexpr std::size_t kDirEntry = 128;
constexpr std::uint32_t kMaxRegularSector = 0xFFFFFFFA;

char16_t upperUnit(char16_t c)
{
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    return c;
}

void checkName(std::u16string_view name)
{
    if (name.empty() || name.size() > 31) throw std::invalid_argument("compound file name must have 1 to 31 units");
    for (char16_t c : name)
        if (c == u'/' || c == u'\\' || c == u':' || c == u'!')
            throw std::invalid_argument("compound file name holds a forbidden character");
}

std::size_t ceilDiv(std::size_t a, std::size_t b) { return (a + b - 1) / b; }

void put16(Bytes& b, std::size_t at, std::uint16_t v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct Entry {
    const Storage::Node* node = nullptr;  // null for the root
    std::u16string name;
    std::uint8_t type = 0;  // 1 storage, 2 stream, 5 root
    bool red = false;
    std::uint32_t left = kNoStream, right = kNoStream, child = kNoStream;
    std::uint32_t start = kEndOfChain;
    std::uint64_t size = 0;
};

// Balanced tree over the sorted siblings. Colouring the deepest level red (root
// excepted) gives every path the same number of black nodes, since a midpoint
// split leaves all empty links within one level of each other.
std::uint32_t buildTree(std::vector<Entry>& entries, const std::vector<std::uint32_t>& sorted, std::size_t lo,
                        std::size_t hi, int depth, int maxDepth)
{
    if (lo >= hi) return kNoStream;
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::uint32_t id = sorted[mid];
    entries[id].red = depth == maxDepth && depth > 0;
    entries[id].left = buildTree(entries, sorted, lo, mid, depth + 1, maxDepth);
    entries[id].right = buildTree(entries, sorted, mid + 1, hi, depth + 1, maxDepth);
    return id;
}

int treeDepth(std::size_t n)
{
    // Depth of the deepest node of a midpoint-split tree of n nodes: floor(log2 n),
    // as the larger half of a split holds n / 2 nodes.
    int d = -1;
    while (n > 0) {
        n /= 2;
        ++d;
    }
    return d;
}

void addChildren(std::vector<Entry>& entries, std::uint32_t parent, const Storage& storage)
{
    std::vector<std::uint32_t> ids;
    for (const auto& child : storage.children()) {
        Entry e;
        e.node = child.get();
        e.name = child->name;
        e.type = child->isStorage ? 1 : 2;
        e.size = child->isStorage ? 0 : child->data.size();
        e.start = child->isStorage ? 0 : kEndOfChain;
        ids.push_back(static_cast<std::uint32_t>(entries.size()));
        entries.push_back(std::move(e));
    }
    std::sort(ids.begin(), ids.end(),
              [&](std::uint32_t a, std::uint32_t b) { return compareNames(entries[a].name, entries[b].name) < 0; });
    entries[parent].child = buildTree(entries, ids, 0, ids.size(), 0, treeDepth(ids.size()));
    for (std::uint32_t id : ids)
        if (entries[id].type == 1) addChildren(entries, id, entries[id].node->storage);
}

}  // namespace

int compareNames(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char16_t x = upperUnit(a[i]), y = upperUnit(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

Storage::Node& Storage::child(std::u16string_view name, bool isStorage)
{
    checkName(name);
    for (auto& c : children_) {
        if (compareNames(c->name, name) == 0) {
            if (c->isStorage != isStorage) throw std::invalid_argument("name already used by another kind of entry");
            return *c;
        }
    }
    auto node = std::make_unique<Node>();
    node->name = std::u16string(name);
    node->isStorage = isStorage;
    children_.push_back(std::move(node));
    return *children_.back();
}

Storage& Storage::storage(std::u16string_view name) { return child(name, true).storage; }

void Storage::stream(std::u16string_view name, Bytes data) { child(name, false).data = std::move(data); }

Bytes CompoundFile::serialize() const
{
    std::vector<Entry> entries(1);
    entries[0].name = u"Root Entry";
    entries[0].type = 5;
    addChildren(entries, 0, root_);

    // Sizes of everything that takes sectors besides the allocation tables.
    std::size_t miniBytes = 0, largeSectors = 0;
    for (const Entry& e : entries) {
        if (e.type != 2 || e.size == 0) continue;
        if (e.size < kMiniCutoff) miniBytes += ceilDiv(e.size, kMiniSector) * kMiniSector;
        else largeSectors += ceilDiv(e.size, kSector);
    }
    const std::size_t miniSectors = miniBytes / kMiniSector;
    const std::size_t miniFatSectors = ceilDiv(miniSectors * 4, kSector);
    const std::size_t miniStreamSectors = ceilDiv(miniBytes, kSector);
    const std::size_t dirSectors = ceilDiv(entries.size() * kDirEntry, kSector);
    const std::size_t dataSectors = dirSectors + miniFatSectors + miniStreamSectors + largeSectors;

    std::size_t fatSectors = 0, difatSectors = 0;
    for (;;) {
        const std::size_t fat = ceilDiv(dataSectors + fatSectors + difatSectors, kEntriesPerFatSector);
        const std::size_t difat = fat > kHeaderDifat ? ceilDiv(fat - kHeaderDifat, kEntriesPerFatSector - 1) : 0;
        if (fat == fatSectors && difat == difatSectors) break;
        fatSectors = fat;
        difatSectors = difat;
    }
    const std::size_t totalSectors = fatSectors + difatSectors + dataSectors;
    if (totalSectors >= kMaxRegularSector) throw std::length_error("compound file too large");

    // Sector layout: FAT, DIFAT, directory, mini FAT, mini stream, large streams.
    std::vector<std::uint32_t> fat(fatSectors * kEntriesPerFatSector, kFreeSector);
    std::size_t next = 0;
    for (std::size_t i = 0; i < fatSectors; ++i) fat[next++] = kFatSector;
    for (std::size_t i = 0; i < difatSectors; ++i) fat[next++] = kDifatSector;
    const auto chain = [&](std::size_t count) -> std::uint32_t {
        if (count == 0) return kEndOfChain;
        const std::size_t first = next;
        for (std::size_t i = 0; i < count; ++i, ++next)
            fat[next] = i + 1 < count ? static_cast<std::uint32_t>(next + 1) : kEndOfChain;
        return static_cast<std::uint32_t>(first);
    };
    const std::uint32_t dirStart = chain(dirSectors);
    const std::uint32_t miniFatStart = chain(miniFatSectors);
    const std::uint32_t miniStreamStart = chain(miniStreamSectors);

    std::vector<std::uint32_t> miniFat(miniFatSectors * kEntriesPerFatSector, kFreeSector);
    Bytes miniStream(miniStreamSectors * kSector, 0);
    std::size_t nextMini = 0;
    std::vector<std::pair<const Entry*, std::uint32_t>> large;
    for (Entry& e : entries) {
        if (e.type != 2 || e.size == 0) continue;
        const Bytes& data = e.node->data;
        if (e.size < kMiniCutoff) {
            const std::size_t count = ceilDiv(data.size(), kMiniSector);
            e.start = static_cast<std::uint32_t>(nextMini);
            std::memcpy(miniStream.data() + nextMini * kMiniSector, data.data(), data.size());
            for (std::size_t i = 0; i < count; ++i, ++nextMini)
                miniFat[nextMini] = i + 1 < count ? static_cast<std::uint32_t>(nextMini + 1) : kEndOfChain;
        } else {
            e.start = chain(ceilDiv(data.size(), kSector));
            large.emplace_back(&e, e.start);
        }
    }
    entries[0].start = miniStreamStart;
    entries[0].size = miniBytes;

    Bytes out((1 + totalSectors) * kSector, 0);
    const auto sectorAt = [](std::size_t sector) { return (sector + 1) * kSector; };

    // Header.
    static constexpr std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::memcpy(out.data(), kSignature, 8);
    put16(out, 24, 0x003E);  // minor version
    put16(out, 26, 0x0003);  // major version
    put16(out, 28, 0xFFFE);  // little-endian
    put16(out, 30, 9);       // 512-byte sectors
    put16(out, 32, 6);       // 64-byte mini sectors
    put32(out, 44, static_cast<std::uint32_t>(fatSectors));
    put32(out, 48, dirStart);
    put32(out, 56, static_cast<std::uint32_t>(kMiniCutoff));
    put32(out, 60, miniFatSectors ? miniFatStart : kEndOfChain);
    put32(out, 64, static_cast<std::uint32_t>(miniFatSectors));
    put32(out, 68, difatSectors ? static_cast<std::uint32_t>(fatSectors) : kEndOfChain);
    put32(out, 72, static_cast<std::uint32_t>(difatSectors));
    for (std::size_t i = 0; i < kHeaderDifat; ++i)
        put32(out, 76 + 4 * i, i < fatSectors ? static_cast<std::uint32_t>(i) : kFreeSector);

    // DIFAT sectors: 127 FAT locations each, then the next DIFAT sector.
    for (std::size_t d = 0; d < difatSectors; ++d) {
        const std::size_t base = sectorAt(fatSectors + d);
        for (std::size_t k = 0; k < kEntriesPerFatSector - 1; ++k) {
            const std::size_t fatIndex = kHeaderDifat + d * (kEntriesPerFatSector - 1) + k;
            put32(out, base + 4 * k, fatIndex < fatSectors ? static_cast<std::uint32_t>(fatIndex) : kFreeSector);
        }
        put32(out, base + kSector - 4,
              d + 1 < difatSectors ? static_cast<std::uint32_t>(fatSectors + d + 1) : kEndOfChain);
    }

    for (std::size_t i = 0; i < fat.size(); ++i) put32(out, sectorAt(0) + 4 * i, fat[i]);

    // Directory; the unused tail entries keep empty names and no links.
    const std::size_t dirBase = sectorAt(dirStart);
    for (std::size_t i = 0; i < dirSectors * (kSector / kDirEntry); ++i) {
        const std::size_t at = dirBase + i * kDirEntry;
        if (i >= entries.size()) {
            put32(out, at + 68, kNoStream);
            put32(out, at + 72, kNoStream);
            put32(out, at + 76, kNoStream);
            continue;
        }
        const Entry& e = entries[i];
        for (std::size_t k = 0; k < e.name.size(); ++k) put16(out, at + 2 * k, e.name[k]);
        put16(out, at + 64, static_cast<std::uint16_t>((e.name.size() + 1) * 2));
        out[at + 66] = e.type;
        out[at + 67] = e.red ? 0 : 1;
        put32(out, at + 68, e.left);
        put32(out, at + 72, e.right);
        put32(out, at + 76, e.child);
        put32(out, at + 116, e.start);
        put32(out, at + 120, static_cast<std::uint32_t>(e.size));
    }

    for (std::size_t i = 0; i < miniFat.size(); ++i) put32(out, sectorAt(miniFatStart) + 4 * i, miniFat[i]);
    if (miniStreamSectors) std::memcpy(out.data() + sectorAt(miniStreamStart), miniStream.data(), miniStream.size());
    for (const auto& [e, start] : large) {
        const Bytes& data = e->node->data;
        std::memcpy(out.data() + sectorAt(start), data.data(), data.size());
    }
    return out;
}

}  // namespace pim::cfb
