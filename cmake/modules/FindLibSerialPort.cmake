# libserialport, which lists the serial ports present on Linux and macOS
# (Debian: libserialport-dev; Homebrew: libserialport; MacPorts: libserialport).
# Defines LibSerialPort::LibSerialPort.
find_path(LibSerialPort_INCLUDE_DIR libserialport.h PATHS /opt/homebrew/include /opt/local/include)
find_library(LibSerialPort_LIBRARY serialport PATHS /opt/homebrew/lib /opt/local/lib)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(LibSerialPort
  REQUIRED_VARS LibSerialPort_LIBRARY LibSerialPort_INCLUDE_DIR
  REASON_FAILURE_MESSAGE "apt install libserialport-dev, or on a Mac brew install libserialport")

if(LibSerialPort_FOUND AND NOT TARGET LibSerialPort::LibSerialPort)
  add_library(LibSerialPort::LibSerialPort UNKNOWN IMPORTED)
  set_target_properties(LibSerialPort::LibSerialPort PROPERTIES
    IMPORTED_LOCATION "${LibSerialPort_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${LibSerialPort_INCLUDE_DIR}")
endif()
mark_as_advanced(LibSerialPort_INCLUDE_DIR LibSerialPort_LIBRARY)
