# For the macOS cross build only: a library whose headers are the same on
# every system lends the host's copy of them. Only `item` (a header or a
# folder of them) is copied into the build folder and used from there, so that
# no other host header reaches the Mac build. Sets <package>_FOUND, and
# <package>_NOT_FOUND_MESSAGE with `install_hint` when `folder` lacks it.
function(ql_use_host_headers package target folder item install_hint)
  if(NOT EXISTS "${folder}/${item}")
    set(${package}_FOUND FALSE PARENT_SCOPE)
    set(${package}_NOT_FOUND_MESSAGE "no ${item} in ${folder} (${install_hint})" PARENT_SCOPE)
    return()
  endif()
  if(NOT TARGET ${target})
    set(copy "${CMAKE_BINARY_DIR}/${package}-include")
    file(COPY "${folder}/${item}" DESTINATION "${copy}")
    add_library(${target} INTERFACE IMPORTED)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${copy}")
  endif()
  set(${package}_FOUND TRUE PARENT_SCOPE)
endfunction()
