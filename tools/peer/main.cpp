// quarnelix-peer: plays the handheld on a serial line, to try a cable and a
// running quarnelix-link by hand, and to drive it in tests.
#include <signal.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <optional>

#include "app/common/exit_codes.h"
#include "app/common/settings.h"
#include "app/common/version.h"
#include "app/terminal/command_line.h"
#include "app/terminal/device_problem.h"
#include "app/terminal/port_list.h"
#include "app/terminal/quit_signals.h"
#include "app/terminal/terminal_output.h"
#include "app/terminal/terminal_text.h"
#include "fs/code_page.h"
#include "link/link_clock.h"
#include "link/name_rules.h"
#include "serial/posix/posix_serial_line.h"
#include "tools/peer/local_file.h"
#include "tools/peer/peer_session.h"
#include "tools/peer/progress.h"

namespace ql {
namespace {

enum class Command { kList, kGet, kPut };

struct Options {
  std::string port;
  unsigned speed = kSpeeds[0];
  std::string codePage = kDefaultCodePage;
  std::string pattern;
  std::string remote;
  std::string local;
  bool force = false;
};

int Fail(const std::string& message) {
  Say(std::cerr, "quarnelix-peer: " + message);
  return kExitFailure;
}

// Real time, whose pauses end when the line is woken: no wait outlasts Ctrl+C.
class LineClock final : public LinkClock {
 public:
  explicit LineClock(PosixSerialLine& line) : line_(line) {}
  std::int64_t NowMs() override { return SystemClock().NowMs(); }
  void Sleep(std::int64_t ms) override { line_.Pause(static_cast<int>(ms)); }

 private:
  PosixSerialLine& line_;
};

// The failure of an exchange that a signal cut short.
int Interrupted(const std::string& what) {
  const int signal = QuitSignals::Taken();
  return Fail(std::string("stopped by ") +
              (signal == SIGINT    ? "Ctrl+C"
               : signal == SIGTERM ? "SIGTERM"
               : signal == SIGHUP  ? "SIGHUP"
                                   : strsignal(signal)) +
              " during " + what);
}

// The handheld names paths with backslashes; a slash, which no Windows name
// holds, is taken for one so that paths need no quoting in a shell. False,
// with the reason in `error`, when the code page cannot write the path:
// the '?' it would put instead is a wildcard to the desktop.
bool RemotePath(std::string path, const CodePage& codePage, std::string& remote,
                std::string& error) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  std::optional<std::string> exact = codePage.ToHandheldExactly(path);
  if (!exact) {
    error = "the code page " + codePage.Name() + " cannot write " + TerminalText(path) +
            "; give the handheld's own with --codepage (CP932 for Japanese names, for example)";
    return false;
  }
  remote = std::move(*exact);
  return true;
}

std::string Attributes(std::uint32_t bits) {
  std::string letters = "----";
  if ((bits & kAttributeDirectory) != 0) letters[0] = 'd';
  if ((bits & kAttributeReadOnly) != 0) letters[1] = 'r';
  if ((bits & kAttributeHidden) != 0) letters[2] = 'h';
  if ((bits & kAttributeArchive) != 0) letters[3] = 'a';
  return letters;
}

std::string LocalTime(std::uint64_t fileTime) {
  if (fileTime < kUnixEpochFileTime) return "-";
  const auto seconds =
      static_cast<std::time_t>((fileTime - kUnixEpochFileTime) / kFileTimeUnitsPerSecond);
  std::tm local{};
  char text[32] = "-";
  if (localtime_r(&seconds, &local) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local) == 0) {
    return "-";
  }
  return text;
}

void PrintListing(const std::vector<FindEntry>& entries, const CodePage& codePage) {
  const auto row = [](const std::string& attributes, const std::string& size,
                      const std::string& modified, const std::string& name) {
    char columns[64];
    static_cast<void>(std::snprintf(columns, sizeof columns, "%-4s  %12s  %-16s  ",
                                    attributes.c_str(), size.c_str(), modified.c_str()));
    Say(std::cout, columns + name);
  };
  row("attr", "size", "modified", "name");
  for (const FindEntry& entry : entries) {
    row(Attributes(entry.attributes), std::to_string(entry.size), LocalTime(entry.lastWriteTime),
        TerminalText(codePage.ToHost(entry.name)));
  }
  Say(std::cout, std::to_string(entries.size()) + (entries.size() == 1 ? " entry" : " entries"));
}

// What a failed exchange means to the person at the keyboard.
int Explain(PeerSession::Result result, const std::string& what) {
  if (QuitSignals::Taken() != 0) return Interrupted(what);
  switch (result) {
    case PeerSession::Result::kNoAnswer:
      return Fail("no answer to " + what +
                  ": is quarnelix-link running on the other end, at the same speed, and is the "
                  "cable a null-modem one?");
    case PeerSession::Result::kBadAnswer:
      return Fail("the answer to " + what +
                  " arrived damaged: check that both ends use the same speed");
    case PeerSession::Result::kLineError:
      return Fail("the serial device failed during " + what + " (was it unplugged?)");
    case PeerSession::Result::kEchoOnly:
    case PeerSession::Result::kDone:
      break;
  }
  return Fail(what + " failed");
}

int List(PeerSession& session, std::string pattern, const CodePage& codePage) {
  // A bare drive ("C:") is 2 bytes, which the desktop takes for a command.
  if (pattern.size() == kCommandLength && pattern[1] == ':') pattern += '\\';
  if (!pattern.empty() && pattern.back() == '\\') pattern += '*';
  if (pattern.size() <= kCommandLength) {
    return Fail("the pattern " + codePage.ToHost(pattern) +
                " is too short: the desktop takes 2 bytes for a command; give a drive path "
                "such as C:/*");
  }
  std::vector<FindEntry> entries;
  const PeerSession::Result result = session.List(pattern, entries);
  if (result == PeerSession::Result::kEchoOnly) {
    return Fail("nothing matches " + codePage.ToHost(pattern) +
                " on the desktop (no such folder, or no names that fit the pattern)");
  }
  if (result != PeerSession::Result::kDone) return Explain(result, "the listing");
  PrintListing(entries, codePage);
  return 0;
}

// A download as asked: one file's desktop path, and where it goes here.
struct Download {
  std::string remote;  // as the user gave it
  std::string path;    // as the desktop names it
  std::string local;
  bool replace = false;
};

bool PlanDownload(const Options& options, const CodePage& codePage, Download& plan,
                  std::string& error) {
  plan.remote = options.remote;
  if (!RemotePath(options.remote, codePage, plan.path, error)) return false;
  if (plan.path.size() <= kCommandLength) {
    error = "get needs a file's path such as C:/docs/report.txt; " + options.remote +
            " is too short (the desktop takes 2 bytes for a command)";
    return false;
  }
  plan.replace = options.force;
  // By character: in a double-byte code page a second byte may be '?' (0x3F).
  bool wildcard = false;
  for (std::size_t at = 0; at < plan.path.size(); at += CharLength(plan.path, at, codePage)) {
    wildcard = wildcard || plan.path[at] == '*' || plan.path[at] == '?';
  }
  if (wildcard) {
    error = "get fetches one file: " + options.remote + " is a pattern (ls lists what it matches)";
    return false;
  }
  const std::string name = codePage.ToHost(UploadNameOf(plan.path, codePage));
  if (name.empty()) {
    error = options.remote + " names a folder; give a file's path";
    return false;
  }
  plan.local = options.local.empty() ? name : options.local;
  // Into a folder given as LOCAL, under the desktop's name, as cp does.
  struct stat status {};
  if (!options.local.empty() && stat(plan.local.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    plan.local += (plan.local.back() == '/' ? "" : "/") + name;
  }
  return CheckLocalTarget(plan.local, plan.replace, error);
}

// The desktop answers a file it cannot send, and an empty one, with its echo
// alone: the listing says first whether the file exists, how large it is, and
// whether it is a folder.
int Fetch(PeerSession& session, const Download& plan) {
  std::vector<FindEntry> entries;
  PeerSession::Result result = session.List(plan.path, entries);
  if (result == PeerSession::Result::kEchoOnly ||
      (result == PeerSession::Result::kDone && entries.empty())) {
    return Fail("no file " + plan.remote + " on the desktop");
  }
  if (result != PeerSession::Result::kDone) return Explain(result, "the look-up of " + plan.remote);
  const FindEntry& entry = entries.front();
  if ((entry.attributes & kAttributeDirectory) != 0) {
    return Fail(plan.remote + " is a folder on the desktop; give a file's path (ls " + plan.remote +
                "/ lists it)");
  }

  std::string contents;
  Progress progress(entry.size);
  result = session.Get(plan.path, contents, [&](std::uint64_t bytes) { progress.Update(bytes); });
  progress.Clear();
  const std::string listed = std::to_string(entry.size);
  if (result == PeerSession::Result::kEchoOnly && entry.size > 0) {
    return Fail("the desktop sent nothing of " + plan.remote + ", which it lists with " + listed +
                " bytes: " +
                (entry.size > kLargestFile
                     ? "larger than this link can carry (4 GB at most)"
                     : "it could not read it (open in another program, or closed to reading?)"));
  }
  if (result != PeerSession::Result::kDone && result != PeerSession::Result::kEchoOnly) {
    return Explain(result, "the download of " + plan.remote);
  }
  if (QuitSignals::Taken() != 0)
    return Interrupted("the download of " + plan.remote + "; nothing was written");
  if (contents.size() != entry.size) {
    // Asked again, the desktop tells a stopped server, a changed file and a lossy line apart.
    std::vector<FindEntry> again;
    const PeerSession::Result probe = session.List(plan.path, again);
    const std::string received = "received " + std::to_string(contents.size()) + " of the " +
                                 listed + " bytes listed for " + plan.remote + ": ";
    if (probe == PeerSession::Result::kNoAnswer || probe == PeerSession::Result::kLineError) {
      return Fail(received + "the desktop stopped answering (was quarnelix-link stopped?)");
    }
    if (probe != PeerSession::Result::kDone || again.empty() || again.front().size != entry.size) {
      return Fail(received + "the file changed on the desktop meanwhile; try again");
    }
    return Fail(received + "the line lost some; try again, or a lower speed");
  }
  std::string error;
  if (!WriteLocalFile(plan.local, contents, plan.replace, error)) return Fail(error);
  Say(std::cout, "Received " + progress.Summary() + " into " + plan.local +
                     (contents.empty() ? " (an empty file)" : ""));
  return 0;
}

// An upload as asked, and what the desktop will call it.
struct Upload {
  std::string contents;
  std::string path;    // the name sent, as the desktop names it
  std::string stored;  // where the desktop stores it, as the user reads it
  std::string note;    // what the user should know before it goes
};

bool PlanUpload(const Options& options, const CodePage& codePage, Upload& plan,
                std::string& error) {
  if (!ReadLocalFile(options.local, plan.contents, error)) return false;
  if (plan.contents.empty()) {
    error = options.local + " is empty: the line cannot carry a message of no bytes";
    return false;
  }
  if (plan.contents.size() == kCommandLength) {
    error = options.local + " is " + std::to_string(kCommandLength) +
            " bytes long: the desktop takes every message of that length for a command, so the "
            "line cannot carry it";
    return false;
  }
  if (!RemotePath(options.remote.empty()
                      ? UploadNameOf(options.local, HandheldCharset::SingleByte())  // UTF-8
                      : options.remote,
                  codePage, plan.path, error)) {
    return false;
  }
  // The refusals include wildcards, which would make the look-ups match other files.
  const std::string name = UploadNameOf(plan.path, codePage);
  if (const char* refusal = UploadNameRefusal(name, codePage)) {
    error = "the desktop cannot store a file named '" + codePage.ToHost(name) + "' (" + refusal +
            "); give another REMOTE name";
    return false;
  }
  plan.stored = codePage.ToHost(kUploadFolder + name);
  // Going ahead is what the help has always promised; saying so up front tells
  // the user where to look for the file.
  std::string folder = plan.path.substr(0, plan.path.size() - name.size());
  for (char& c : folder) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (!folder.empty() && folder != kUploadFolder) {
    plan.note = "Uploads always land in " + codePage.ToHost(kUploadFolder) + ": " +
                codePage.ToHost(plan.path) + " is stored as " + plan.stored;
  }
  return true;
}

// The desktop answers uploads with nothing: look at its upload folder before
// (it never overwrites) and after (did the file arrive whole?).
PeerSession::Result LookUp(PeerSession& session, const std::string& path,
                           std::optional<std::uint64_t>& size) {
  std::vector<FindEntry> entries;
  const PeerSession::Result result = session.List(path, entries);
  size.reset();
  if (result == PeerSession::Result::kDone && !entries.empty()) size = entries.front().size;
  return result == PeerSession::Result::kEchoOnly ? PeerSession::Result::kDone : result;
}

int Send(PeerSession& session, const Upload& plan, const CodePage& codePage) {
  const std::string stored = codePage.ToHandheld(plan.stored);
  std::optional<std::uint64_t> size;
  PeerSession::Result result = LookUp(session, stored, size);
  if (result != PeerSession::Result::kDone) return Explain(result, "the look-up of " + plan.stored);
  if (size) {
    return Fail(plan.stored + " already exists on the desktop, which never overwrites a file");
  }

  Progress progress(plan.contents.size());
  result =
      session.Put(plan.path, plan.contents, [&](std::uint64_t bytes) { progress.Update(bytes); });
  progress.Clear();
  if (QuitSignals::Taken() != 0 || result != PeerSession::Result::kDone) {
    return Explain(result, "the upload to " + plan.stored +
                               "; the desktop keeps what arrived, if anything (ls shows it)");
  }
  result = LookUp(session, stored, size);
  if (result != PeerSession::Result::kDone) return Explain(result, "the check of " + plan.stored);
  if (!size) return Fail("the desktop did not store " + plan.stored);
  if (*size != plan.contents.size()) {
    return Fail("the desktop stored " + std::to_string(*size) + " of " +
                std::to_string(plan.contents.size()) + " bytes as " + plan.stored +
                ": the line lost some; try a lower speed");
  }
  Say(std::cout, "Sent " + progress.Summary() + "; stored as " + plan.stored);
  return 0;
}

// The command line, checked before the line is touched: -1 to go on, else
// the exit code once help, the version or a one-line error is out.
int ParseArguments(int argc, char** argv, Options& options, Command& command) {
  CLI::App app(
      "Plays the handheld's file manager on a serial line: lists, fetches and uploads files\n"
      "served by quarnelix-link on the other end of a null-modem cable.",
      "quarnelix-peer");
  const std::string example = kExampleDevice;
  std::string footer = "Remote paths are the desktop's Windows paths; '/' may stand for '\\'.\n";
  footer += "\nExamples:\n  quarnelix-peer " + example + " ls 'C:/*'\n";
  footer += "  quarnelix-peer -p " + example + " -b 115200 get 'C:/docs/report.txt'\n";
  footer += "  quarnelix-peer --port " + example + " put notes.txt";
  app.footer(footer);
  app.set_version_flag("-V,--version", std::string("quarnelix-peer ") + kVersion,
                       "Print the version and exit");
  std::string device;
  app.add_option("DEVICE", device, "The serial device, as with --port")->type_name("");
  CLI::Option* port = app.add_option("-p,--port", options.port,
                                     "Serial device of the handheld's end, e.g. " + example)
                          ->type_name("DEVICE");
  std::string speed;
  CLI::Option* speedOption =
      app.add_option("-b,--speed,--baud", speed,
                     "Line speed in baud, as the server's: one of " + SpeedList() + " (default " +
                         std::to_string(kSpeeds[0]) + ")")
          ->type_name("BAUD");
  app.add_option(
         "--codepage", options.codePage,
         "The handheld's character set for names (default " + std::string(kDefaultCodePage) + ")")
      ->type_name("NAME");
  bool listPorts = false;
  app.add_flag("-l,--list-ports", listPorts,
               "List the serial devices present and whether you may open them; then exit");
  CLI::App* ls = app.add_subcommand("ls", "List what a pattern matches, e.g. 'C:/docs/*.txt'");
  ls->add_option("PATTERN", options.pattern, "Folder and wildcard; a trailing '/' lists it all")
      ->required();
  CLI::App* get = app.add_subcommand("get", "Fetch a desktop file");
  get->add_option("REMOTE", options.remote, "Desktop path, e.g. C:/docs/report.txt")->required();
  get->add_option("LOCAL", options.local,
                  "Where to write it (default: REMOTE's file name); a folder takes it under that\n"
                  "name. An existing file is kept");
  get->add_flag("-f,--force", options.force, "Replace LOCAL if it exists");
  CLI::App* put = app.add_subcommand("put", "Upload a file into the desktop's C:\\ folder");
  put->add_option("LOCAL", options.local, "The file to send")->required();
  put->add_option("REMOTE", options.remote,
                  "Name to store it under (default: LOCAL's name); only the part after the last\n"
                  "'\\' or '/' counts, uploads always land in C:\\");
  for (CLI::App* sub : {ls, get, put}) sub->fallthrough();

  const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
  const auto refuse = [](const std::string& mistake) {
    Say(std::cerr, "quarnelix-peer: " + mistake);
    return kExitUsage;
  };
  const int parsed = ParseInOwnWords(app, argc, argv, "quarnelix-peer", std::cout, std::cerr);
  if (parsed >= 0) return parsed;
  if (listPorts) {
    std::cout << TerminalMessage(FormatPortList(ListPorts())) << std::flush;
    return 0;
  }
  if (const std::string notADevice = NotADevice(app, device); !notADevice.empty()) {
    return refuse(notADevice);
  }
  if (!device.empty() && port->count() > 0) {
    return refuse("the device is given twice, " + device + " and " + OptionAsGiven(*port, args) +
                  " " + options.port + "; give it once");
  }
  if (!device.empty()) options.port = device;
  if (options.port.empty()) {
    return refuse(
        "give the device of the handheld's end first, or with --port (--list-ports lists them)");
  }
  const DeviceToOpen toOpen = ChooseDeviceToOpen(options.port);
  if (!toOpen.sentence.empty()) Say(std::cerr, toOpen.sentence);
  options.port = toOpen.device;
  if (speedOption->count() > 0) {
    std::string mistake;
    options.speed = ParseSpeed(OptionAsGiven(*speedOption, args), speed, mistake);
    if (options.speed == 0) return refuse(mistake);
  }
  if (ls->parsed())
    command = Command::kList;
  else if (get->parsed())
    command = Command::kGet;
  else if (put->parsed())
    command = Command::kPut;
  else
    return refuse(CommandLineMistake(app, args, true));
  return -1;
}

int Main(int argc, char** argv) {
  Options options;
  Command command = Command::kList;
  const int parsed = ParseArguments(argc, argv, options, command);
  if (parsed >= 0) return parsed;

  std::string error;
  const std::optional<CodePage> codePage = CodePage::Open(options.codePage, error);
  if (!codePage) {
    Say(std::cerr, "quarnelix-peer: --codepage " + options.codePage + ": " + error);
    return kExitUsage;
  }
  // What was asked is checked before the line is touched.
  const auto onTheLine = [&](const std::function<int(PeerSession&)>& exchange) {
    QuitSignals signals;
    PosixSerialLine line;
    const int opened = line.Open(options.port);
    if (opened != 0) return Fail(ExplainOpenFailure(options.port, opened));
    if (line.SetSpeed(options.speed) != 0) {
      return Fail(options.port + " does not take " + std::to_string(options.speed) + " baud");
    }
    LineClock clock(line);
    PeerSession session(line, clock, options.speed);
    // Ctrl+C, SIGTERM and SIGHUP wake the line: the exchange under way ends
    // at once, and the failure is told as what it is, not as a fault of the line.
    signals.CallOnQuit([&line] { line.Wake(); });
    const int result = exchange(session);
    signals.Stop();
    // Closed before a signal ends the program: the device is free for the next run.
    line.Close();
    if (result != 0) QuitSignals::PassOn();
    return result;
  };
  switch (command) {
    case Command::kList: {
      std::string pattern;
      if (!RemotePath(options.pattern, *codePage, pattern, error)) return Fail(error);
      return onTheLine([&](PeerSession& session) { return List(session, pattern, *codePage); });
    }
    case Command::kGet: {
      Download download;
      if (!PlanDownload(options, *codePage, download, error)) return Fail(error);
      return onTheLine([&](PeerSession& session) { return Fetch(session, download); });
    }
    case Command::kPut:
      break;
  }
  Upload upload;
  if (!PlanUpload(options, *codePage, upload, error)) return Fail(error);
  if (!upload.note.empty()) Say(std::cout, upload.note);
  return onTheLine([&](PeerSession& session) { return Send(session, upload, *codePage); });
}

}  // namespace
}  // namespace ql

int main(int argc, char** argv) {
  return ql::ExitCodeOf("quarnelix-peer", [&] { return ql::Main(argc, argv); });
}
