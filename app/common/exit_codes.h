// Exit codes of the terminal programs, quarnelix-link and quarnelix-peer,
// and the guard around their main functions.
#pragma once

#include <exception>
#include <iostream>

namespace ql {

constexpr int kExitFailure = 1;  // the device, the line or the other end failed
constexpr int kExitUsage = 2;    // the command line or the settings are wrong

// Runs a program's `main`: what it returns, or kExitFailure after telling a
// failure nothing else caught (running out of memory, mostly).
template <typename Main>
int ExitCodeOf(const char* program, Main&& main) {
  try {
    return main();
  } catch (const std::exception& e) {
    std::cerr << program << ": " << e.what() << "\n";
    return kExitFailure;
  }
}

}  // namespace ql
