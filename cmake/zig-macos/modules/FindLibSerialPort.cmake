# For the macOS cross build only: libserialport's header is the same on every
# system, so the build takes the host's copy (QL_SERIALPORT_INCLUDE_DIR,
# Debian's /usr/include by default), copied alone into the build folder so
# that no other host header reaches the Mac build. The library is zig-macos/lib's
# stub, which names @rpath/libserialport.0.dylib; the programs search for it
# where Homebrew (Apple silicon, Intel) and MacPorts put it, at load time.
set(QL_SERIALPORT_INCLUDE_DIR "/usr/include" CACHE PATH "Folder holding libserialport.h for the cross build")
if(NOT EXISTS "${QL_SERIALPORT_INCLUDE_DIR}/libserialport.h")
  set(LibSerialPort_FOUND FALSE)
  set(LibSerialPort_NOT_FOUND_MESSAGE "no libserialport.h in ${QL_SERIALPORT_INCLUDE_DIR} (apt install libserialport-dev)")
  return()
endif()
if(NOT TARGET LibSerialPort::LibSerialPort)
  set(_ql_serialport_copy "${CMAKE_BINARY_DIR}/libserialport-include")
  file(COPY "${QL_SERIALPORT_INCLUDE_DIR}/libserialport.h" DESTINATION "${_ql_serialport_copy}")
  add_library(LibSerialPort::LibSerialPort INTERFACE IMPORTED)
  set_target_properties(LibSerialPort::LibSerialPort PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_ql_serialport_copy}"
    INTERFACE_LINK_LIBRARIES serialport
    INTERFACE_LINK_OPTIONS "-Wl,-rpath,/opt/homebrew/lib;-Wl,-rpath,/usr/local/lib;-Wl,-rpath,/opt/local/lib")
endif()
set(LibSerialPort_FOUND TRUE)
