# Cross-compiles the Windows programs with Debian's mingw-w64; included by
# mingw-w64-x86_64.cmake and mingw-w64-i686.cmake, which name the target.
# The posix thread model is the one whose C++ library has std::thread, and
# -static keeps the mingw runtime DLLs out of the executables, which then
# need nothing but system DLLs (and, at run time, the vendor's FTD2XX.dll).
set(CMAKE_SYSTEM_NAME Windows)
set(QVM7316_MINGW_PREFIX ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

set(CMAKE_C_COMPILER ${QVM7316_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVM7316_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QVM7316_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QVM7316_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
