// The terminal programs' command lines: quarnelix-link's own, and the words
// both programs use for a command line they cannot take.
#pragma once

#include <iostream>
#include <string>
#include <vector>

#include "app/common/exit_codes.h"
#include "fs/code_page.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace ql {

struct CommandLine {
  std::string port;                 // a device path; empty: the settings' last port
  unsigned speed = 0;               // 0: the settings' last speed
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

// What is wrong with `args` (without the program's name) for `app`, in one
// sentence that names the option or argument at fault and, for a near miss,
// the one that was probably meant; empty when nothing is found. Read before
// parsing it finds what the parser would take silently the wrong way ("-port"
// as "-p ort"); after a refusal, the cause.
std::string CommandLineMistake(const CLI::App& app, const std::vector<std::string>& args,
                               bool refused);

// Parses `argv` for `app`: -1 to go on, else the exit code once help or the
// version went to `out`, or the mistake, as "PROGRAM: sentence", to `err`.
int ParseInOwnWords(CLI::App& app, int argc, const char* const* argv, const char* program,
                    std::ostream& out, std::ostream& err);

// How the user spelled `option` (-b, --baud or --speed) the last time.
std::string OptionAsGiven(const CLI::Option& option, const std::vector<std::string>& args);

// The speed given as `option` `text`, or 0 with the reason in `error`.
unsigned ParseSpeed(const std::string& option, const std::string& text, std::string& error);

}  // namespace ql
