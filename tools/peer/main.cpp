// quarnelix-peer: plays the handheld on a serial line, to try a cable and a
// running quarnelix-link by hand, and to drive it in tests.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "app/common/settings.h"
#include "app/posix/device_problem.h"
#include "fs/code_page.h"
#include "link/link_clock.h"
#include "link/link_server.h"
#include "serial/serial_link_port.h"
#include "serial/serial_port.h"
#include "tools/peer/peer_session.h"

namespace ql {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::uint32_t kQueueSize = 2048;
// 100 ns steps between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ULL;

struct Options {
  std::string port;
  unsigned speed = kSpeeds[0];
  std::string codePage = kDefaultCodePage;
  std::string pattern;
  std::string remote;
  std::string local;
};

int Fail(const std::string& message) {
  std::cerr << "quarnelix-peer: " << message << "\n";
  return kExitFailure;
}

// A bar on standard error while a payload travels (only on a terminal), and
// one closing line on standard output.
class Progress {
 public:
  explicit Progress(std::uint64_t total) : total_(total), shown_(isatty(STDERR_FILENO) != 0) {}

  void Update(std::uint64_t bytes) {
    const Clock::time_point now = Clock::now();
    if (bytes_ == 0) first_ = now;
    bytes_ = bytes;
    last_ = now;
    if (!shown_ || now - lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    std::string line = "\r";
    if (total_ > 0) {
      constexpr int kWidth = 30;
      const auto filled = static_cast<int>(bytes * kWidth / total_);
      line += "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] " +
              std::to_string(bytes * 100 / total_) + "%";
    }
    std::cerr << line << "  " << bytes << " bytes  " << Rate() << "   " << std::flush;
  }

  // "3000 bytes in 0.52 s (5.6 KB/s)"
  std::string Summary() {
    if (shown_) std::cerr << "\r" << std::string(79, ' ') << "\r" << std::flush;
    std::ostringstream text;
    text.precision(3);
    text << bytes_ << " bytes in " << std::fixed << Seconds() << " s (" << Rate() << ")";
    return text.str();
  }

 private:
  using Clock = std::chrono::steady_clock;

  // From the first byte to the last.
  double Seconds() const { return std::chrono::duration<double>(last_ - first_).count(); }
  std::string Rate() const {
    std::ostringstream text;
    text.precision(1);
    text << std::fixed << static_cast<double>(bytes_) / 1024.0 / std::max(Seconds(), 0.001)
         << " KB/s";
    return text.str();
  }

  std::uint64_t total_;
  bool shown_;
  std::uint64_t bytes_ = 0;
  Clock::time_point first_{};
  Clock::time_point last_{};
  Clock::time_point lastDrawn_{};
};

// The handheld names paths with backslashes; a slash, which no Windows name
// holds, is taken for one so that paths need no quoting in a shell.
std::string RemotePath(std::string path, const CodePage& codePage) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return codePage.ToHandheld(path);
}

std::string LastComponent(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
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
  const auto seconds = static_cast<std::time_t>((fileTime - kUnixEpochFileTime) / 10000000ULL);
  std::tm local{};
  char text[32] = "-";
  if (localtime_r(&seconds, &local) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local) == 0) {
    return "-";
  }
  return text;
}

void PrintListing(const std::vector<FindEntry>& entries, const CodePage& codePage) {
  std::printf("%-4s  %12s  %-16s  %s\n", "attr", "size", "modified", "name");
  for (const FindEntry& entry : entries) {
    std::printf("%-4s  %12llu  %-16s  %s\n", Attributes(entry.attributes).c_str(),
                static_cast<unsigned long long>(entry.size), LocalTime(entry.lastWriteTime).c_str(),
                codePage.ToHost(entry.name).c_str());
  }
  std::printf("%zu %s\n", entries.size(), entries.size() == 1 ? "entry" : "entries");
}

// What a failed exchange means to the person at the keyboard.
int Explain(PeerSession::Result result, const std::string& what) {
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

int List(PeerSession& session, const Options& options, const CodePage& codePage) {
  std::string pattern = RemotePath(options.pattern, codePage);
  if (!pattern.empty() && pattern.back() == '\\') pattern += '*';
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

int Get(PeerSession& session, const Options& options, const CodePage& codePage) {
  const std::string local = options.local.empty() ? LastComponent(options.remote) : options.local;
  if (local.empty()) return Fail(options.remote + " names a folder; give a file's path");
  std::string contents;
  Progress progress(0);
  const PeerSession::Result result =
      session.Get(RemotePath(options.remote, codePage), contents,
                  [&](std::uint64_t bytes) { progress.Update(bytes); });
  if (result == PeerSession::Result::kNoAnswer) {
    return Fail("no file " + options.remote +
                " on the desktop (nothing came back; if ls works, the path is wrong)");
  }
  if (result != PeerSession::Result::kDone && result != PeerSession::Result::kEchoOnly) {
    return Explain(result, "the download");
  }
  std::ofstream out(local, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  out.close();
  if (!out) return Fail("cannot write " + local);
  std::cout << "Received " << progress.Summary() << " into " << local
            << (contents.empty() ? " (the file is empty, or the desktop could not read it)" : "")
            << "\n";
  return 0;
}

bool ReadWhole(const std::string& path, std::string& contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  contents = text.str();
  return !in.bad();
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

int Put(PeerSession& session, const Options& options, const CodePage& codePage) {
  std::string contents;
  if (!ReadWhole(options.local, contents)) return Fail("cannot read " + options.local);
  if (contents.empty()) {
    return Fail(options.local + " is empty: the line cannot carry a message of no bytes");
  }
  const std::string remote =
      RemotePath(options.remote.empty() ? LastComponent(options.local) : options.remote, codePage);
  const std::string name = SafeUploadName(remote);
  // A wildcard in the name would make the look-ups below match other files.
  if (name.empty() || name.find_first_of("*?") != std::string::npos) {
    return Fail("the desktop cannot store a file named '" + codePage.ToHost(LastComponent(remote)) +
                "'; give another REMOTE name");
  }
  const std::string stored = "C:\\" + name;
  const std::string shown = codePage.ToHost(stored);
  std::optional<std::uint64_t> size;
  PeerSession::Result result = LookUp(session, stored, size);
  if (result != PeerSession::Result::kDone) return Explain(result, "the look-up of " + shown);
  if (size) return Fail(shown + " already exists on the desktop, which never overwrites a file");

  Progress progress(contents.size());
  result = session.Put(remote, contents, [&](std::uint64_t bytes) { progress.Update(bytes); });
  if (result != PeerSession::Result::kDone) return Explain(result, "the upload");
  const std::string summary = progress.Summary();
  result = LookUp(session, stored, size);
  if (result != PeerSession::Result::kDone) return Explain(result, "the check of " + shown);
  if (!size) return Fail("the desktop did not store " + shown);
  if (*size != contents.size()) {
    return Fail("the desktop stored " + std::to_string(*size) + " of " +
                std::to_string(contents.size()) + " bytes as " + shown +
                ": the line lost some; try a lower speed");
  }
  std::cout << "Sent " << summary << "; stored as " << shown << "\n";
  return 0;
}

std::string SpeedList() {
  std::string list;
  for (const unsigned speed : kSpeeds) list += (list.empty() ? "" : ", ") + std::to_string(speed);
  return list;
}

int Main(int argc, char** argv) {
  CLI::App app(
      "Plays the handheld's file manager on a serial line: lists, fetches and uploads files\n"
      "served by quarnelix-link on the other end of a null-modem cable.",
      "quarnelix-peer");
  app.footer(
      "Remote paths are the desktop's Windows paths; '/' may stand for '\\'. Examples:\n"
      "  quarnelix-peer --port /dev/ttyUSB1 ls 'C:/*'\n"
      "  quarnelix-peer --port /dev/ttyUSB1 --speed 115200 get 'C:/docs/report.txt'\n"
      "  quarnelix-peer --port /dev/ttyUSB1 put notes.txt");
  app.require_subcommand(1);
  Options options;
  app.add_option("--port", options.port, "Serial device of the handheld's end, e.g. /dev/ttyUSB1")
      ->required()
      ->type_name("DEVICE");
  app.add_option("--speed", options.speed,
                 "Line speed in baud, as the server's: one of " + SpeedList() + " (default " +
                     std::to_string(kSpeeds[0]) + ")")
      ->type_name("BAUD")
      ->check(CLI::IsMember(std::vector<unsigned>(kSpeeds.begin(), kSpeeds.end())));
  app.add_option(
         "--codepage", options.codePage,
         "The handheld's character set for names (default " + std::string(kDefaultCodePage) + ")")
      ->type_name("NAME");
  CLI::App* ls = app.add_subcommand("ls", "List what a pattern matches, e.g. 'C:/docs/*.txt'");
  ls->add_option("PATTERN", options.pattern, "Folder and wildcard; a trailing '/' lists it all")
      ->required();
  CLI::App* get = app.add_subcommand("get", "Fetch a desktop file");
  get->add_option("REMOTE", options.remote, "Desktop path, e.g. C:/docs/report.txt")->required();
  get->add_option("LOCAL", options.local, "Where to write it (default: REMOTE's file name)");
  CLI::App* put = app.add_subcommand("put", "Upload a file into the desktop's C:\\ folder");
  put->add_option("LOCAL", options.local, "The file to send")->required();
  put->add_option("REMOTE", options.remote,
                  "Name to store it under (default: LOCAL's name); only the part after the last\n"
                  "'\\' or '/' counts, uploads always land in C:\\");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "quarnelix-peer: " << e.what() << " (see quarnelix-peer --help)\n";
    return kExitUsage;
  }

  std::string error;
  const std::optional<CodePage> codePage = CodePage::Open(options.codePage, error);
  if (!codePage) {
    std::cerr << "quarnelix-peer: --codepage " << options.codePage << ": " << error << "\n";
    return kExitUsage;
  }
  CSerialPort port;
  const Status opened = port.OpenPort(options.port.c_str(), kQueueSize, kQueueSize);
  if (opened != kErrorSuccess) return Fail(ExplainOpenFailure(options.port, opened));
  if (SetUpHandheldLine(port, options.speed) != kErrorSuccess) {
    return Fail(options.port + " does not take " + std::to_string(options.speed) + " baud");
  }
  SerialLinkPort linkPort(port);
  PeerSession session(linkPort, SystemClock(), options.speed);
  if (ls->parsed()) return List(session, options, *codePage);
  if (get->parsed()) return Get(session, options, *codePage);
  return Put(session, options, *codePage);
}

}  // namespace
}  // namespace ql

int main(int argc, char** argv) {
  try {
    return ql::Main(argc, argv);
  } catch (const std::exception& e) {  // out of memory, mostly
    std::cerr << "quarnelix-peer: " << e.what() << "\n";
    return ql::kExitFailure;
  }
}
