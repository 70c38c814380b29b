# Installation and packages. On the host: the two terminal programs, their
# manual pages, the user service template and the udev rule example, packed
# by CPack as a Debian package. On Windows: the tray program with a text on
# its use and settings, packed as a ZIP archive.
include(GNUInstallDirs)

set(QL_PACKAGE_NAME quarnelix-link)
set(QL_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QL_PACKAGE_NAME})
set(QL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(QL_GENERATED_DIR ${PROJECT_BINARY_DIR}/packaging)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_PACKAGE_NAME ${QL_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Quarnelix Link developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serve a handheld's file manager over a serial cable")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS quarnelix_link RUNTIME DESTINATION .)
  # Notepad on Windows XP shows only CRLF line ends as lines.
  configure_file(${QL_PACKAGING_DIR}/windows-readme.txt.in ${QL_GENERATED_DIR}/README.txt @ONLY
                 NEWLINE_STYLE WIN32)
  install(FILES ${QL_GENERATED_DIR}/README.txt DESTINATION .)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(windows_architecture x64)
  else()
    set(windows_architecture x86)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${QL_PACKAGE_NAME}-${PROJECT_VERSION}-windows-${windows_architecture})
  include(CPack)
  return()
endif()

install(TARGETS quarnelix-link quarnelix-peer quarnelix-cable RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages and the changelog are installed compressed, as Debian wants.
set(compressed_files)
foreach(source docs/man/quarnelix-link.1 docs/man/quarnelix-peer.1 docs/man/quarnelix-cable.1
               packaging/changelog)
  get_filename_component(name ${source} NAME)
  set(target ${QL_GENERATED_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${target}
                     COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${source} > ${target}
                     DEPENDS ${PROJECT_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND compressed_files ${target})
endforeach()
add_custom_target(ql_compressed_documents ALL DEPENDS ${compressed_files})
install(FILES ${QL_GENERATED_DIR}/quarnelix-link.1.gz ${QL_GENERATED_DIR}/quarnelix-peer.1.gz
              ${QL_GENERATED_DIR}/quarnelix-cable.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${QL_GENERATED_DIR}/changelog.gz ${QL_PACKAGING_DIR}/copyright
              ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${QL_DOC_DIR})
install(FILES ${QL_PACKAGING_DIR}/70-quarnelix-link.rules DESTINATION ${QL_DOC_DIR}/examples)

# The changelog names the version being packaged; project(VERSION) stays its one home.
file(STRINGS ${QL_PACKAGING_DIR}/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^${QL_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with '${changelog_top}': give version "
                      "${PROJECT_VERSION} an entry at its top")
endif()

# Debian's packages keep user units in /usr/lib/systemd/user, the folder
# systemd reads for units that packages ship (/usr/local/lib/systemd/user for
# a local install); share/systemd/user is read only through XDG_DATA_DIRS.
# For an install into the home folder (~/.local) give share/systemd/user.
set(QL_SYSTEMD_USER_UNIT_DIR lib/systemd/user CACHE STRING
    "Folder under the install prefix for the systemd user unit")
set(QL_LINK_PROGRAM ${CMAKE_INSTALL_FULL_BINDIR}/quarnelix-link)
configure_file(${QL_PACKAGING_DIR}/quarnelix-link@.service.in
               ${QL_GENERATED_DIR}/quarnelix-link@.service @ONLY)
install(FILES ${QL_GENERATED_DIR}/quarnelix-link@.service DESTINATION ${QL_SYSTEMD_USER_UNIT_DIR})

# macOS: the launchd user agent example, naming the program under the prefix.
if(APPLE)
  configure_file(${QL_PACKAGING_DIR}/macos/org.quarnelix.link.plist.in
                 ${QL_GENERATED_DIR}/org.quarnelix.link.plist @ONLY)
  install(FILES ${QL_GENERATED_DIR}/org.quarnelix.link.plist DESTINATION ${QL_DOC_DIR}/examples)
endif()

# The package installs where the unit's ExecStart says the program is.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
set(QL_PACKAGE_MAINTAINER "Quarnelix Link developers <maintainers@quarnelix-link.example>"
    CACHE STRING "The Debian package's Maintainer field")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION
    "quarnelix-link answers the remote file manager of a handheld connected by
a serial cable: it lists folders of this computer, sends files from them
and stores the files the handheld uploads, in a terminal or as a user
service that starts when the adapter is plugged in. quarnelix-peer plays
the handheld's side, to check a cable and a running server; quarnelix-cable
joins two device paths with a virtual null-modem cable, to try both without
hardware.")
include(CPack)
