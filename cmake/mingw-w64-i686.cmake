# Windows, 32-bit x86, with Debian's mingw-w64 (i686-w64-mingw32-g++-posix and kin).
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
