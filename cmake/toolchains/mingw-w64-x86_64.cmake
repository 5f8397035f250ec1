# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (win32 thread model, so the DLLs
# need no pthread library beside them).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PIM_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${PIM_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${PIM_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${PIM_MINGW_TRIPLE}-windres)
set(PIM_WIDL ${PIM_MINGW_TRIPLE}-widl)
set(PIM_WIDL_ARCH --win64)
# Where widl finds the standard type libraries the contract imports (stdole2/stdole32).
set(PIM_WIDL_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)

set(CMAKE_FIND_ROOT_PATH /usr/${PIM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
