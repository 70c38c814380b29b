// Plain-language reasons why a serial device cannot be opened.
#pragma once

#include <string>

namespace ql {

// One line saying what is wrong with `device` and what to do about it, for
// the errno a failed open returned.
std::string ExplainOpenFailure(const std::string& device, int error);

}  // namespace ql
