// quarnelix-cable: a virtual null-modem cable between two device paths, for
// trying quarnelix-link and quarnelix-peer (or any serial program) without
// hardware, at the line rate and with the garble of mismatched speeds.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include "app/common/exit_codes.h"
#include "app/common/version.h"
#include "app/terminal/command_line.h"
#include "app/terminal/quit_signals.h"
#include "app/terminal/terminal_output.h"
#include "app/terminal/terminal_text.h"
#include "tools/cable/virtual_cable.h"

namespace ql {
namespace {

constexpr const char* kEndNames[] = {"A", "B"};
constexpr auto kLookEvery = std::chrono::milliseconds(250);

struct Options {
  std::array<std::string, 2> paths;
  CableOptions cable;
};

// The reason a path cannot become an end; empty when it can. Only a symbolic
// link (one a killed run left behind) is replaced, never a file or a device.
std::string NotAnEndPath(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return std::string();
    return "cannot use " + TerminalText(path) + ": " + std::strerror(errno);
  }
  if (S_ISLNK(status.st_mode)) return std::string();
  return TerminalText(path) + " exists and is not a symbolic link; give a path that does not";
}

int ParseArguments(int argc, char** argv, Options& options) {
  CLI::App app(
      "Joins two device paths with a virtual null-modem cable: whatever a program writes on\n"
      "one end, the program on the other reads, as its UART would at the speed it set.",
      "quarnelix-cable");
  app.footer(
      "Example:\n  quarnelix-cable /tmp/desktop-tty /tmp/handheld-tty --pace\n"
      "  quarnelix-link --port /tmp/desktop-tty --speed 115200\n"
      "  quarnelix-peer --port /tmp/handheld-tty --speed 115200 ls 'C:/*'");
  app.set_version_flag("-V,--version", std::string("quarnelix-cable ") + kVersion,
                       "Print the version and exit");
  app.add_option("END_A", options.paths[0], "Device path of one end, made as a symbolic link")
      ->required();
  app.add_option("END_B", options.paths[1], "Device path of the other end")->required();
  app.add_flag("--pace", options.cable.paced,
               "Bytes take their time on the line (10 bits a byte at the sender's speed)");
  app.add_option("--noise", options.cable.bitErrorRate,
                 "Chance that a bit sent arrives flipped, e.g. 1e-5 (default 0)")
      ->type_name("RATE")
      ->check(CLI::Range(0.0, 0.5));
  app.add_option("--seed", options.cable.noiseSeed,
                 "Seed of the noise: the same seed flips the same bits (default 1)")
      ->type_name("N");
  FitHelp(app);
  const int parsed = ParseInOwnWords(app, argc, argv, "quarnelix-cable", std::cout, std::cerr);
  if (parsed >= 0) return parsed;
  if (options.paths[0] == options.paths[1]) {
    Say(std::cerr,
        "quarnelix-cable: both ends are " + TerminalText(options.paths[0]) + "; give two paths");
    return kExitUsage;
  }
  for (const std::string& path : options.paths) {
    if (const std::string mistake = NotAnEndPath(path); !mistake.empty()) {
      Say(std::cerr, "quarnelix-cable: " + mistake);
      return kExitUsage;
    }
  }
  return -1;
}

// What changed at each end since the last look: its speed, its framing errors.
void TellChanges(const VirtualCable& cable, std::array<VirtualCable::EndState, 2>& told) {
  for (int end = 0; end < 2; ++end) {
    const VirtualCable::EndState now = cable.State(static_cast<VirtualCable::End>(end));
    const std::string name = std::string("end ") + kEndNames[end] + ": ";
    if (now.baud != told[end].baud) {
      Say(std::cout, name + (now.baud == 0 ? std::string("hung up (speed 0)")
                                           : std::to_string(now.baud) + " baud"));
    }
    if (now.framingErrors != told[end].framingErrors) {
      Say(std::cout, name + std::to_string(now.framingErrors) + " framing errors so far (" +
                         std::to_string(now.bytesReceived) + " bytes received)");
    }
    told[end] = now;
  }
}

int Main(int argc, char** argv) {
  Options options;
  const int parsed = ParseArguments(argc, argv, options);
  if (parsed >= 0) return parsed;

  QuitSignals signals;
  std::string error;
  const std::unique_ptr<VirtualCable> cable =
      VirtualCable::Create(options.paths, error, options.cable);
  if (!cable) {
    Say(std::cerr, "quarnelix-cable: " + error);
    return kExitFailure;
  }
  for (int end = 0; end < 2; ++end) {
    const auto which = static_cast<VirtualCable::End>(end);
    Say(std::cout, std::string("end ") + kEndNames[end] + ": " +
                       TerminalText(cable->DevicePath(which)) + " -> " +
                       TerminalText(cable->Terminal(which)));
  }
  Say(std::cout, std::string(options.cable.paced ? "paced" : "unpaced") +
                     (options.cable.bitErrorRate > 0
                          ? ", bit error rate " + std::to_string(options.cable.bitErrorRate)
                          : std::string()) +
                     "; Ctrl+C ends the cable and removes both paths.");
  std::array<VirtualCable::EndState, 2> told{};
  while (!signals.Wait(kLookEvery)) TellChanges(*cable, told);
  return 0;
}

}  // namespace
}  // namespace ql

int main(int argc, char** argv) {
  return ql::ExitCodeOf("quarnelix-cable", [&] { return ql::Main(argc, argv); });
}
