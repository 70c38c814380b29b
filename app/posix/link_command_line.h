// quarnelix-link's command line.
#pragma once

#include <iostream>
#include <string>
#include <vector>

#include "fs/code_page.h"

namespace ql {

struct CommandLine {
  std::string port;    // a device path; empty: the settings' last port
  unsigned speed = 0;  // 0: the settings' last speed, found when there is none; or kFindSpeed
  std::vector<std::string> drives;  // "X=DIR", added to the settings' drive table
  std::string codePage = kDefaultCodePage;
  std::string settingsPath;  // empty: the default place
  bool trace = false;
  bool quiet = false;      // no activity lines; errors and the port's status lines stay
  bool listPorts = false;  // list the serial devices present instead of serving one
};

// Parses the arguments. Returns -1 to go on, or the exit code once help or
// the version has been written to `out`, or a one-line error to `err`.
// The device may come first instead of after --port; -b and --baud are
// --speed.
int ParseCommandLine(int argc, const char* const* argv, CommandLine& options,
                     std::ostream& out = std::cout, std::ostream& err = std::cerr);

}  // namespace ql
