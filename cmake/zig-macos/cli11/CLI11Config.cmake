# For the macOS cross build only: CLI11 is header-only, so the build takes the
# host's copy of its headers (QL_CLI11_INCLUDE_DIR, Debian's /usr/include by
# default). Only CLI/ is copied into the build folder and used from there as a
# system include, so that no other host header reaches the Mac build.
set(QL_CLI11_INCLUDE_DIR "/usr/include" CACHE PATH "Folder holding CLI/CLI.hpp for the cross build")
if(NOT EXISTS "${QL_CLI11_INCLUDE_DIR}/CLI/CLI.hpp")
  set(CLI11_FOUND FALSE)
  set(CLI11_NOT_FOUND_MESSAGE "no CLI/CLI.hpp in ${QL_CLI11_INCLUDE_DIR} (apt install libcli11-dev)")
  return()
endif()
if(NOT TARGET CLI11::CLI11)
  set(_ql_cli11_copy "${CMAKE_BINARY_DIR}/cli11-include")
  file(COPY "${QL_CLI11_INCLUDE_DIR}/CLI" DESTINATION "${_ql_cli11_copy}")
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_ql_cli11_copy}")
endif()
set(CLI11_FOUND TRUE)
