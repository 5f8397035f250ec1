// The type-library format of this platform (a .tlb file, or the "TYPELIB" resource of a library),
// written at build time by interfaces/mktlb.py from the contract's IDL. Windows carries MIDL's binary
// format instead; this one holds only what LoadTypeLib, GetLibAttr, GetDocumentation and the
// (un)registration need. Little-endian:
//
//   char   magic[8]  "PIMTLB01"
//   guid   libid     (uint32, uint16, uint16, 8 bytes)
//   uint32 lcid; uint16 syskind, major, minor, libflags; uint32 helpcontext
//   str    name, doc, helpfile
//   uint32 count
//   type   [count]   uint16 typekind, typeflags; guid; str name, doc
//
// str: uint32 byte length (0xFFFFFFFF: absent) followed by that many UTF-8 bytes. Nothing may follow
// the last type.
#pragma once

namespace pim::tlb {

inline constexpr char kMagic[8] = {'P', 'I', 'M', 'T', 'L', 'B', '0', '1'};
inline constexpr unsigned kNoString = 0xFFFFFFFFu;

}  // namespace pim::tlb
