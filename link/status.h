// The outcome of every operation that can fail, across the link core, the
// file systems and the serial layers: 0 is success, anything else the
// system's own code (the errno on Linux and macOS, GetLastError() on Windows),
// kept until a front end turns it into a sentence for a person.
#pragma once

#include <cstdint>

namespace ql {

using Status = std::int32_t;
constexpr Status kSuccess = 0;

}  // namespace ql
