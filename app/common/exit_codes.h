// Exit codes of the terminal programs, quarnelix-link and quarnelix-peer.
#pragma once

namespace ql {

constexpr int kExitFailure = 1;  // the device, the line or the other end failed
constexpr int kExitUsage = 2;    // the command line or the settings are wrong

}  // namespace ql
