# The shared part of the MinGW-w64 toolchain files: cross-compiling for Windows with Debian's
# MinGW-w64. The including file sets PIM_MINGW_ARCH (i686 or x86_64) and PIM_MINGW_THREADS (the
# compiler's thread model: posix or win32). Every DLL links its runtime statically, so none needs
# a MinGW DLL beside it.
if(NOT PIM_MINGW_ARCH MATCHES "^(i686|x86_64)$" OR NOT PIM_MINGW_THREADS MATCHES "^(posix|win32)$")
  message(FATAL_ERROR "use mingw-w64-i686.cmake or mingw-w64-x86_64.cmake as the toolchain file")
endif()

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${PIM_MINGW_ARCH})
set(PIM_MINGW_TRIPLE ${PIM_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${PIM_MINGW_TRIPLE}-gcc-${PIM_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${PIM_MINGW_TRIPLE}-g++-${PIM_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${PIM_MINGW_TRIPLE}-windres)
set(PIM_WIDL ${PIM_MINGW_TRIPLE}-widl)
# Where widl finds the standard type libraries the contract imports (stdole2/stdole32).
if(PIM_MINGW_ARCH STREQUAL "i686")
  set(PIM_WIDL_ARCH --win32)
  set(PIM_WIDL_TLB_DIR /usr/lib/i386-linux-gnu/wine/i386-windows)
else()
  set(PIM_WIDL_ARCH --win64)
  set(PIM_WIDL_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${PIM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
