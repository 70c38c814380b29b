# For the macOS cross build only: CLI11 is header-only, so the build takes the
# host's copy of its headers (QL_CLI11_INCLUDE_DIR, Debian's /usr/include by
# default).
include("${CMAKE_CURRENT_LIST_DIR}/../host_headers.cmake")
set(QL_CLI11_INCLUDE_DIR "/usr/include" CACHE PATH "Folder holding CLI/CLI.hpp for the cross build")
ql_use_host_headers(CLI11 CLI11::CLI11 "${QL_CLI11_INCLUDE_DIR}" CLI "apt install libcli11-dev")
