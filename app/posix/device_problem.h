// Plain-language reasons why a serial device cannot be opened.
#pragma once

#include <string>

#include "serial/serial_types.h"

namespace ql {

// One line saying what is wrong with `device` and what to do about it, for
// the status code a failed open returned.
std::string ExplainOpenFailure(const std::string& device, Status status);

}  // namespace ql
