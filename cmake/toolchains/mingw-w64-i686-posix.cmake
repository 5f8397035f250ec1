# 32-bit Windows with the posix thread model, named for the PIM server's own build (which needs
# std::mutex and std::thread); the same as mingw-w64-i686.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake)
