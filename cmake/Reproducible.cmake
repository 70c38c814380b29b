# Release files that anyone can rebuild byte for byte from these sources.
# scripts/package.sh takes SOURCE_DATE_EPOCH from the last commit for the
# archives' times; the programs themselves carry no time and no folder.

# The folder the sources were in stays out of the programs (names the
# compiler records for assertions and debugging). Only the release presets
# map it: a debugger needs the full names.
option(QL_REPRODUCIBLE "Leave the source and build folders' names out of the programs" OFF)
if(QL_REPRODUCIBLE)
  add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=)
endif()

# A Mac program's debug map names each object file by its full path: the
# release programs carry none (-S: no debugging symbols).
if(QL_REPRODUCIBLE AND APPLE)
  add_link_options(-Wl,-S)
endif()

# A Windows program's header holds no link time (the linker would put one there).
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
