# Every target of the project compiles with the same strict warnings, as errors.
add_library(project_warnings INTERFACE)
target_compile_options(project_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-align
  -Wformat=2 -Wnull-dereference -Wdouble-promotion -Wimplicit-fallthrough
  -Wmissing-declarations -Wundef)

if(WIN32)
  # Windows builds use the ANSI API and link statically so that the programs
  # depend on nothing beyond the system DLLs. They need Vista or later unless
  # the toolchain file names an older Windows (the 32-bit one names XP).
  if(NOT DEFINED QL_WINDOWS_VERSION)
    set(QL_WINDOWS_VERSION 0x0600)
  endif()
  target_compile_definitions(project_warnings INTERFACE
    WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=${QL_WINDOWS_VERSION} WINVER=${QL_WINDOWS_VERSION})
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

option(QL_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(QL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

option(QL_FUZZ "Build the libFuzzer targets (clang)" OFF)
if(QL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
