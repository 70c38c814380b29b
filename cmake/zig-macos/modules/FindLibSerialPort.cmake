# For the macOS cross build only: libserialport's header is the same on every
# system, so the build takes the host's copy (QL_SERIALPORT_INCLUDE_DIR,
# Debian's /usr/include by default). The library is zig-macos/lib's stub,
# which names @rpath/libserialport.0.dylib; the programs look for it where
# Homebrew (Apple silicon, Intel) and MacPorts put it, when they are loaded.
include("${CMAKE_CURRENT_LIST_DIR}/../host_headers.cmake")
set(QL_SERIALPORT_INCLUDE_DIR "/usr/include" CACHE PATH "Folder holding libserialport.h for the cross build")
ql_use_host_headers(LibSerialPort LibSerialPort::LibSerialPort "${QL_SERIALPORT_INCLUDE_DIR}"
                    libserialport.h "apt install libserialport-dev")
if(NOT LibSerialPort_FOUND AND LibSerialPort_FIND_REQUIRED)
  message(FATAL_ERROR "libserialport: ${LibSerialPort_NOT_FOUND_MESSAGE}")
elseif(LibSerialPort_FOUND)
  set_target_properties(LibSerialPort::LibSerialPort PROPERTIES
    INTERFACE_LINK_LIBRARIES serialport
    INTERFACE_LINK_OPTIONS "-Wl,-rpath,/opt/homebrew/lib;-Wl,-rpath,/usr/local/lib;-Wl,-rpath,/opt/local/lib")
endif()
