// The process's table of loaded modules, shared with the resource reader.
//
// Code modules are identified by their load base address (what dladdr reports as dli_fbase),
// so LoadLibraryA and GetModuleHandleExA agree on a library's HMODULE. A module opened with
// LOAD_LIBRARY_AS_DATAFILE is entered by the resource reader through open_datafile/close_datafile;
// its HMODULE has bit 1 set, as on Windows, and no code of it runs.
#pragma once
#include <string>
#include <windows.h>

namespace pim::module {

struct Info {
  HMODULE handle = nullptr;
  std::string path;       // full path of the file
  bool datafile = false;  // opened with LOAD_LIBRARY_AS_DATAFILE
  void* data = nullptr;   // the resource reader's state of a data file
};

// Provided by the resource reader (resource.cpp). Until it is linked in, LOAD_LIBRARY_AS_DATAFILE
// fails with ERROR_NOT_SUPPORTED. open_datafile returns ERROR_SUCCESS or a Win32 error, and on
// success stores its own state in *data; close_datafile is called once for it on the last FreeLibrary.
__attribute__((weak)) DWORD open_datafile(const std::string& path, void** data);
__attribute__((weak)) void close_datafile(void* data);

// Copies the table entry of h into *out. Code modules that were never loaded through this table
// (the main program, a library found by address) are described from dladdr.
bool lookup(HMODULE h, Info* out);

// Full path of a file name, resolved as dlopen would not: relative to the working directory.
std::string full_path(const std::string& name);

}  // namespace pim::module
