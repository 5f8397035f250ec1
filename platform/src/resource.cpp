// Resources of a library file: LOAD_LIBRARY_AS_DATAFILE images, FindResourceA, LoadResource,
// LockResource, SizeofResource.
//
// A library carries its resources in the ELF section ".pimrsrc" (layout in resource_format.h).
// Opening a file as data reads its ELF header, its section table and that section, and nothing else:
// no code of the file is mapped or run.
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "internal.h"
#include "module_internal.h"
#include "resource_format.h"

namespace pim::res {

namespace {

struct Resource {
  bool typeIsId;
  uint32_t typeId;
  std::string typeName;  // upper case
  bool nameIsId;
  uint32_t nameId;
  std::string nameName;  // upper case
  const BYTE* data;
  DWORD size;
};

struct Image {
  bool hasSection = false;
  std::vector<BYTE> section;
  std::vector<Resource> resources;
};

class File {
 public:
  explicit File(int fd) : m_fd(fd) {}
  ~File() {
    if (m_fd >= 0) close(m_fd);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  int fd() const { return m_fd; }

 private:
  int m_fd;
};

bool read_at(int fd, uint64_t size, uint64_t off, void* buf, uint64_t len) {
  if (off > size || len > size - off) return false;
  auto* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    ssize_t n = pread(fd, p, len, static_cast<off_t>(off));
    if (n <= 0) return false;
    p += n;
    off += static_cast<uint64_t>(n);
    len -= static_cast<uint64_t>(n);
  }
  return true;
}

uint32_t le32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// A NUL-terminated name at off inside the section.
bool section_string(const std::vector<BYTE>& sec, uint32_t off, std::string& out) {
  if (off >= sec.size()) return false;
  const void* end = std::memchr(sec.data() + off, 0, sec.size() - off);
  if (!end) return false;
  out.assign(reinterpret_cast<const char*>(sec.data() + off), static_cast<const BYTE*>(end) - (sec.data() + off));
  return true;
}

DWORD parse_directory(Image& img) {
  const std::vector<BYTE>& sec = img.section;
  if (sec.size() < kHeaderSize || std::memcmp(sec.data(), kMagic, sizeof kMagic) != 0) return ERROR_BAD_FORMAT;
  uint32_t count = le32(&sec[8]);
  if (count > (sec.size() - kHeaderSize) / kEntrySize) return ERROR_BAD_FORMAT;
  img.resources.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const BYTE* e = &sec[kHeaderSize + i * kEntrySize];
    Resource r;
    r.typeId = le32(e);
    r.typeIsId = le32(e + 4) == 0;
    if (!r.typeIsId && !section_string(sec, le32(e + 4), r.typeName)) return ERROR_BAD_FORMAT;
    r.nameId = le32(e + 8);
    r.nameIsId = le32(e + 12) == 0;
    if (!r.nameIsId && !section_string(sec, le32(e + 12), r.nameName)) return ERROR_BAD_FORMAT;
    uint32_t off = le32(e + 16), size = le32(e + 20);
    if (off > sec.size() || size > sec.size() - off) return ERROR_BAD_FORMAT;
    r.typeName = upper(r.typeName);
    r.nameName = upper(r.nameName);
    r.data = sec.data() + off;
    r.size = size;
    img.resources.push_back(std::move(r));
  }
  return ERROR_SUCCESS;
}

// Finds the resource section through the section table; a file without one is a valid image with
// no resources, as a PE file without a resource directory is.
DWORD read_image(const std::string& path, Image& img) {
  File f(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (f.fd() < 0) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  struct stat st;
  if (fstat(f.fd(), &st) != 0) return ERROR_READ_FAULT;
  if (!S_ISREG(st.st_mode)) return ERROR_BAD_FORMAT;
  const uint64_t size = static_cast<uint64_t>(st.st_size);

  unsigned char ident[EI_NIDENT];
  if (!read_at(f.fd(), size, 0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0 ||
      ident[EI_DATA] != ELFDATA2LSB || (ident[EI_CLASS] != ELFCLASS32 && ident[EI_CLASS] != ELFCLASS64))
    return ERROR_BAD_FORMAT;
  const bool is64 = ident[EI_CLASS] == ELFCLASS64;

  uint64_t shoff;
  uint32_t shentsize, shnum, shstrndx;
  if (is64) {
    Elf64_Ehdr eh;
    if (!read_at(f.fd(), size, 0, &eh, sizeof eh)) return ERROR_BAD_FORMAT;
    shoff = eh.e_shoff, shentsize = eh.e_shentsize, shnum = eh.e_shnum, shstrndx = eh.e_shstrndx;
  } else {
    Elf32_Ehdr eh;
    if (!read_at(f.fd(), size, 0, &eh, sizeof eh)) return ERROR_BAD_FORMAT;
    shoff = eh.e_shoff, shentsize = eh.e_shentsize, shnum = eh.e_shnum, shstrndx = eh.e_shstrndx;
  }
  if (shoff == 0) return ERROR_SUCCESS;
  if (shentsize < (is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr))) return ERROR_BAD_FORMAT;

  struct Sect {
    uint32_t name, type, link;
    uint64_t offset, size;
  };
  auto section = [&](uint32_t i, Sect& s) {
    uint64_t at = shoff + static_cast<uint64_t>(i) * shentsize;
    if (is64) {
      Elf64_Shdr sh;
      if (!read_at(f.fd(), size, at, &sh, sizeof sh)) return false;
      s = {sh.sh_name, sh.sh_type, sh.sh_link, sh.sh_offset, sh.sh_size};
    } else {
      Elf32_Shdr sh;
      if (!read_at(f.fd(), size, at, &sh, sizeof sh)) return false;
      s = {sh.sh_name, sh.sh_type, sh.sh_link, sh.sh_offset, sh.sh_size};
    }
    return true;
  };

  // Extended numbering keeps the real counts in section 0.
  Sect s0;
  if (!section(0, s0)) return ERROR_BAD_FORMAT;
  if (shnum == 0) shnum = static_cast<uint32_t>(s0.size);
  if (shstrndx == SHN_XINDEX) shstrndx = s0.link;
  if (shnum == 0 || shnum > size / shentsize || shstrndx >= shnum) return ERROR_BAD_FORMAT;

  Sect strtab;
  if (!section(shstrndx, strtab) || strtab.type == SHT_NOBITS || strtab.size > size) return ERROR_BAD_FORMAT;
  std::vector<char> names(static_cast<size_t>(strtab.size) + 1, '\0');
  if (!read_at(f.fd(), size, strtab.offset, names.data(), strtab.size)) return ERROR_BAD_FORMAT;

  for (uint32_t i = 1; i < shnum; ++i) {
    Sect s;
    if (!section(i, s)) return ERROR_BAD_FORMAT;
    if (s.name >= strtab.size || std::strcmp(&names[s.name], kSectionName) != 0) continue;
    if (s.type == SHT_NOBITS || s.size > size) return ERROR_BAD_FORMAT;
    img.section.resize(static_cast<size_t>(s.size));
    if (!read_at(f.fd(), size, s.offset, img.section.data(), s.size)) return ERROR_BAD_FORMAT;
    img.hasSection = true;
    return parse_directory(img);
  }
  return ERROR_SUCCESS;
}

// Images of code modules, read on their first FindResourceA and kept for the process.
struct CodeImages {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Image>> byPath;
};

CodeImages& code_images() {
  static CodeImages* c = new CodeImages;
  return *c;
}

Image* image_of(HMODULE h) {
  pim::module::Info info;
  if (h == nullptr) {
    char buf[4096];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return nullptr;
    info.path = buf;
  } else if (!pim::module::lookup(h, &info)) {
    return nullptr;
  } else if (info.datafile) {
    return static_cast<Image*>(info.data);
  }
  CodeImages& c = code_images();
  std::lock_guard lock(c.mutex);
  auto it = c.byPath.find(info.path);
  if (it != c.byPath.end()) return it->second.get();
  auto img = std::make_unique<Image>();
  if (read_image(info.path, *img) != ERROR_SUCCESS) return nullptr;
  return c.byPath.emplace(info.path, std::move(img)).first->second.get();
}

// An id, or a name (a "#123" name is the id 123, as on Windows).
struct Key {
  bool isId;
  uint32_t id;
  std::string name;
};

Key key_of(LPCSTR p) {
  if (IS_INTRESOURCE(p)) return {true, static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(p)), {}};
  if (p[0] == '#' && p[1] != '\0') {
    uint32_t v = 0;
    bool digits = true;
    for (const char* q = p + 1; *q && digits; ++q) {
      digits = *q >= '0' && *q <= '9';
      v = v * 10 + static_cast<uint32_t>(*q - '0');
      if (v > 0xFFFF) digits = false;
    }
    if (digits) return {true, v, {}};
  }
  return {false, 0, upper(p)};
}

}  // namespace

}  // namespace pim::res

namespace pim::module {

DWORD open_datafile(const std::string& path, void** data) {
  return pim::detail::guard_win32([&]() -> LSTATUS {
    auto img = std::make_unique<pim::res::Image>();
    DWORD err = pim::res::read_image(path, *img);
    if (err != ERROR_SUCCESS) return static_cast<LSTATUS>(err);
    *data = img.release();
    return ERROR_SUCCESS;
  });
}

void close_datafile(void* data) { delete static_cast<pim::res::Image*>(data); }

}  // namespace pim::module

using namespace pim::res;

HRSRC FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
  if (!lpName || !lpType) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  try {
    Image* img = image_of(hModule);
    if (!img) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    if (!img->hasSection) {
      SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
      return nullptr;
    }
    Key type = key_of(lpType), name = key_of(lpName);
    bool typeSeen = false;
    for (Resource& r : img->resources) {
      bool typeMatch = type.isId ? (r.typeIsId && r.typeId == type.id) : (!r.typeIsId && r.typeName == type.name);
      if (!typeMatch) continue;
      typeSeen = true;
      if (name.isId ? (r.nameIsId && r.nameId == name.id) : (!r.nameIsId && r.nameName == name.name))
        return reinterpret_cast<HRSRC>(&r);
    }
    SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

HGLOBAL LoadResource(HMODULE, HRSRC hResInfo) {
  if (!hResInfo) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return const_cast<BYTE*>(reinterpret_cast<const Resource*>(hResInfo)->data);
}

LPVOID LockResource(HGLOBAL hResData) { return hResData; }

DWORD SizeofResource(HMODULE, HRSRC hResInfo) {
  if (!hResInfo) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return reinterpret_cast<const Resource*>(hResInfo)->size;
}
