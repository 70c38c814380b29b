// The communications calls the port object makes: the system's own on
// Windows, their termios stand-ins elsewhere.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "serial/posix_comm.h"
#endif

#include "serial/serial_types.h"

namespace ql {

inline Status LastPlatformError() { return static_cast<Status>(GetLastError()); }

inline Status Checked(BOOL succeeded) { return succeeded ? kErrorSuccess : LastPlatformError(); }

}  // namespace ql
