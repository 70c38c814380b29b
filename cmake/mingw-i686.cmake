set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
# The win32 thread model: its runtime imports nothing that Windows XP lacks
# (the posix one brings in GetTickCount64 and other Vista functions).
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The 32-bit program runs on Windows XP SP3 and later: the headers offer only
# what XP has, and the loader of XP accepts the program's version 5.1.
set(QL_WINDOWS_VERSION 0x0501)
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--major-os-version=5,--minor-os-version=1,--major-subsystem-version=5,--minor-subsystem-version=1")
