# 64-bit Windows, win32 thread model (so the DLLs need no pthread library beside them).
set(PIM_MINGW_ARCH x86_64)
set(PIM_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
