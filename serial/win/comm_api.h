// The communications calls the port object makes, with its status codes.
#pragma once

#include <windows.h>

#include "serial/win/serial_types.h"

namespace ql {

// Opens a COM port for this process alone, for overlapped use; null on failure.
inline PortHandle OpenCommDevice(const char* name) {
  HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  return port == INVALID_HANDLE_VALUE ? nullptr : port;
}
inline void CloseCommDevice(PortHandle port) { CloseHandle(port); }
inline EventHandle CreateManualResetEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }
inline void CloseEvent(EventHandle event) { CloseHandle(event); }

inline Status LastPlatformError() { return static_cast<Status>(GetLastError()); }

inline Status Checked(BOOL succeeded) { return succeeded ? kSuccess : LastPlatformError(); }

}  // namespace ql
