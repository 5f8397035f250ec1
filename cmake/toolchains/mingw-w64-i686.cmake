# Cross-compiling for 32-bit Windows with Debian's MinGW-w64, posix thread model (the PIM server
# needs std::mutex and std::thread); every DLL links its runtime statically, so none needs a
# MinGW DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PIM_MINGW_TRIPLE i686-w64-mingw32)

set(CMAKE_C_COMPILER ${PIM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PIM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PIM_MINGW_TRIPLE}-windres)
set(PIM_WIDL ${PIM_MINGW_TRIPLE}-widl)
set(PIM_WIDL_ARCH --win32)
# Where widl finds the standard type libraries the contract imports (stdole2/stdole32).
set(PIM_WIDL_TLB_DIR /usr/lib/i386-linux-gnu/wine/i386-windows)

set(CMAKE_FIND_ROOT_PATH /usr/${PIM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
