// quarnelix-link: serves a handheld's file manager over a serial line from a
// terminal. Ctrl+C or SIGTERM closes the port, saves the settings and ends it.
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <thread>

#include "app/common/exit_codes.h"
#include "app/posix/activity_log.h"
#include "app/posix/device_choice.h"
#include "app/posix/instance_lock.h"
#include "app/posix/link_command_line.h"
#include "app/posix/link_service.h"
#include "app/posix/posix_settings.h"
#include "app/terminal/command_line.h"
#include "app/terminal/device_problem.h"
#include "app/terminal/port_list.h"
#include "app/terminal/quit_signals.h"
#include "app/terminal/terminal_output.h"
#include "app/terminal/terminal_text.h"
#include "fs/posix_file_system.h"
#include "link/trace.h"

namespace ql {
namespace {

// Everything the command line and the settings file decide together.
struct RunSettings {
  std::string settingsPath;
  IniFile file;
  PosixSettings settings;
  std::string given;       // the device the command line names
  unsigned speed = 0;      // the speed to open the line at
  bool findSpeed = false;  // the server finds the handheld's speed, from `speed` on
};

// LastSpeed's value for one of kSpeeds.
int SpeedIndex(unsigned speed) {
  return static_cast<int>(std::find(kSpeeds.begin(), kSpeeds.end(), speed) - kSpeeds.begin());
}

void Fail(const std::string& message) { Say(std::cerr, "quarnelix-link: " + message); }
void Warn(const std::string& message) { Fail("warning: " + message); }

// -1 to go on, else the exit code: 1 for a settings file that cannot be read
// or trusted, 2 for what the command line or the settings say.
int LoadRunSettings(const CommandLine& options, RunSettings& run) {
  run.settingsPath = options.settingsPath.empty() ? DefaultSettingsPath() : options.settingsPath;
  std::string error;
  std::vector<std::string> warnings;
  if (!run.file.Load(run.settingsPath, error)) {
    Fail("cannot use the settings file " + TerminalText(run.settingsPath) + ": " + error);
    return kExitFailure;
  }
  if (!ReadSettings(run.file, run.settings, warnings, error)) {
    Fail("cannot use the settings file " + TerminalText(run.settingsPath) + ": " + error);
    return kExitUsage;
  }
  for (const std::string& warning : warnings) Warn(TerminalText(run.settingsPath) + ": " + warning);
  for (const std::string& drive : options.drives) {
    if (!AddDrive(drive, run.settings.drives, error)) {
      Fail("--drive " + error);
      return kExitUsage;
    }
  }

  LinkSettings& saved = run.settings.options;
  const DeviceToOpen given = ChooseDeviceToOpen(options.port);
  if (!given.sentence.empty()) Say(std::cout, given.sentence);
  run.given = given.device;
  const bool remembered =
      saved.lastSpeed >= 0 && saved.lastSpeed < static_cast<int>(kSpeeds.size());
  if (options.speed == kFindSpeed || (options.speed == 0 && saved.lastSpeed == kNoSpeed)) {
    // At the right speed a command decodes, and the finder never moves.
    run.findSpeed = true;
    run.speed = remembered ? kSpeeds[static_cast<std::size_t>(saved.lastSpeed)] : kSpeeds.back();
  } else if (options.speed != 0) {
    run.speed = options.speed;
    saved.lastSpeed = SpeedIndex(options.speed);
  } else if (remembered) {
    run.speed = kSpeeds[static_cast<std::size_t>(saved.lastSpeed)];
  } else {
    Fail("LastSpeed=" + std::to_string(saved.lastSpeed) + " in " + TerminalText(run.settingsPath) +
         " names none of the speeds (0 to 3); give one with --speed.");
    return kExitUsage;
  }
  return -1;
}

void TraceToStandardError(const std::string& line) {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  // A trace line that cannot be written is lost; there is nowhere to report it.
  static_cast<void>(std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03ld", local.tm_hour,
                                  local.tm_min, local.tm_sec,
                                  static_cast<long>(now.tv_usec / 1000)));
  Say(std::cerr, std::string(stamp) + " " + line);
}

// The device to serve, decided again every 2 s while there is none yet, and
// remembered for the next run: -1 to go on, else the exit code.
int ChooseDevice(RunSettings& run, QuitSignals& signals, std::string& device) {
  const std::string remembered = RememberedDevice(run.settings);
  const auto present = [](const std::string& path) { return access(path.c_str(), F_OK) == 0; };
  for (bool told = false;;) {
    PortList adapters;
    if (run.given.empty()) adapters = ListPorts();
    if (adapters.error != kSuccess && (remembered.empty() || !present(remembered))) {
      Fail(ListingFailure(adapters.error));
      return kExitFailure;
    }
    const DeviceChoice choice = Decide(run.given, remembered, adapters.ports, present);
    switch (choice.action) {
      case DeviceChoice::Action::kServe:
        if (!choice.sentence.empty()) Say(std::cout, choice.sentence);
        device = choice.device;
        RememberDevice(run.settings, device);
        return -1;
      case DeviceChoice::Action::kAsk:
        Fail(choice.sentence);
        return kExitUsage;
      case DeviceChoice::Action::kRefuse:
        Fail(choice.sentence);
        return kExitFailure;
      case DeviceChoice::Action::kWait:
        if (!told) Say(std::cout, choice.sentence);
        told = true;
        if (signals.Wait(std::chrono::milliseconds(kReopenIntervalMs))) return 0;
        break;
    }
  }
}

void PrintDrives(const DriveTable& drives) {
  for (const auto& [letter, folder] : drives) {
    Say(std::cout, std::string("Drive ") + letter + ": is " + TerminalText(folder) +
                       (letter == 'C' ? " (uploads are stored here)" : ""));
  }
}

int Main(int argc, char** argv) {
  CommandLine options;
  const int parsed = ParseCommandLine(argc, argv, options);
  if (parsed >= 0) return parsed;
  if (options.listPorts) {
    std::cout << TerminalMessage(FormatPortList(ListPorts())) << std::flush;
    return 0;
  }
  RunSettings run;
  if (const int ended = LoadRunSettings(options, run); ended >= 0) return ended;
  std::string error;
  std::optional<CodePage> codePage = CodePage::Open(options.codePage, error);
  if (!codePage) {
    Fail("--codepage " + options.codePage + ": " + error);
    return kExitUsage;
  }

  QuitSignals signals;  // before any thread starts, so that all of them inherit the mask
  std::string device;
  if (const int ended = ChooseDevice(run, signals, device); ended >= 0) return ended;
  InstanceLock lock;
  if (!lock.Acquire(device, error)) {
    Fail(error);
    return kExitFailure;
  }
  // Uploads always go to C:\, so there must be a C:.
  if (run.settings.drives.count('C') == 0) {
    bool made = false;
    if (!AddDefaultUploadDrive(run.settings.drives, made, error)) {
      Fail(error);
      return kExitUsage;
    }
    if (made) {
      Say(std::cout,
          "Made the folder " + TerminalText(run.settings.drives['C']) + " for the handheld.");
    }
  }
  PosixFileSystem fileSystem(run.settings.drives, std::move(*codePage));
  const CodePage& names = fileSystem.HandheldCodePage();
  if (options.trace) {
    SetTraceSink([&names](const std::string& line) { TraceToStandardError(names.ToHost(line)); });
  }
  TerminalLines lines(std::cout, STDOUT_FILENO);
  LinkService service(device, run.speed, fileSystem, lines);
  service.SetInstanceLock(lock);
  ActivityLog log(
      lines, run.speed,
      [&names](const std::string& text) { return TerminalText(names.ToHost(text)); },
      [&fileSystem](const std::string& path) { return fileSystem.HostPathOf(path); });
  log.SetQuiet(options.quiet);
  service.SetActivitySink([&log](const LinkActivity& a) { log.Show(a); });
  if (run.findSpeed) {
    log.SetFindingSpeed(true);
    service.FindSpeed(
        [&run](std::uint32_t baud) { run.settings.options.lastSpeed = SpeedIndex(baud); });
  }
  const int opened = service.Start();
  if (opened != 0) {
    Fail(ExplainOpenFailure(device, opened));
    return kExitFailure;
  }
  PrintDrives(fileSystem.Drives());
  Say(std::cout,
      "Serving at " + std::to_string(run.speed) +
          (run.findSpeed ? " baud, or at the speed the handheld turns out to use" : " baud") +
          "; Ctrl+C ends.");
  const bool canSave = IniFile::CanSave(run.settingsPath, error);
  if (!canSave) {
    Warn("the settings cannot be saved to " + TerminalText(run.settingsPath) + " (" + error +
         "); this session's settings will not be kept.");
  }
  signals.CallOnQuit([&service] { service.RequestQuit(); });
  service.Run();
  signals.Stop();

  WriteSettings(run.file, run.settings);
  // Said once, at the start: a session that served well ends well.
  if (canSave && !run.file.Save(run.settingsPath, error)) {
    Fail("cannot save the settings to " + TerminalText(run.settingsPath) + ": " + error);
    return kExitFailure;
  }
  return 0;
}

}  // namespace
}  // namespace ql

int main(int argc, char** argv) {
  return ql::ExitCodeOf("quarnelix-link", [&] { return ql::Main(argc, argv); });
}
