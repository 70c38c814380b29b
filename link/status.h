// The outcome of every operation that can fail, across the link core, the
// file systems and the serial layers: 0 is success, anything else the
// system's own code (the errno on Linux and macOS, GetLastError() on Windows),
// kept until a front end turns it into a sentence for a person.
#pragma once

#include <cstdint>

namespace ql {

using Status = std::int32_t;
constexpr Status kSuccess = 0;

// Causes that no system code names. Bit 29 marks an application's own codes
// on Windows, and no errno comes near it.
// A drive's folder was removed and something else, not a folder of the same
// owner, now stands at its path: the drive is not served until a restart.
constexpr Status kDriveReplaced = 0x20000001;
// An upload's temporary file was removed at the desktop before it was whole.
constexpr Status kUploadTemporaryRemoved = 0x20000002;

}  // namespace ql
