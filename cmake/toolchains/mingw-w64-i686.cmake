# 32-bit Windows, posix thread model: the PIM server needs std::mutex and std::thread, which the
# win32 model of GCC 12 lacks.
set(PIM_MINGW_ARCH i686)
set(PIM_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
