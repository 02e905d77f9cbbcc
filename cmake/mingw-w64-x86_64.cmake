# Windows, x86-64, with Debian's mingw-w64 (x86_64-w64-mingw32-g++-posix and kin).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
