// Layout of the resource directory a library carries in its ELF section ".pimrsrc" (written at build
// time by interfaces/mkres.py). All numbers little-endian; offsets count from the section's start.
//
//   char     magic[8]   "PIMRSRC1"
//   uint32   count
//   entry    [count]    24 bytes each:
//     uint32 type_id, type_name   type_name is the offset of an upper-case NUL-terminated name, or 0
//     uint32 name_id, name_name   when the type (name) is the integer type_id (name_id)
//     uint32 data_offset, data_size
//   names and data follow
#pragma once
#include <cstdint>

namespace pim::res {

inline constexpr char kSectionName[] = ".pimrsrc";
inline constexpr char kMagic[8] = {'P', 'I', 'M', 'R', 'S', 'R', 'C', '1'};
inline constexpr uint32_t kHeaderSize = 12;
inline constexpr uint32_t kEntrySize = 24;

}  // namespace pim::res
