// The server and the handheld simulator as real processes on a virtual cable.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <mutex>
#include <regex>
#include <thread>

#include "serial/posix/posix_serial_line.h"
#include "tests/tools/link_on_cable.h"

namespace ql::testing {
namespace {

// Bytes that a text-minded line would mangle: zeros, CR LF, the command characters.
std::string BinaryContents(std::size_t size, int seed) {
  std::string bytes;
  for (std::size_t i = 0; i < size; ++i) {
    bytes += static_cast<char>((i * 31 + static_cast<std::size_t>(seed) + i / 7) & 0xFF);
  }
  bytes.replace(10, 6, "@@\r\n&&");
  return bytes;
}

class PeerEndToEnd : public LinkOnCable {};

// Whether some line of `text` matches `pattern` whole.
bool HasLine(const std::string& text, const std::string& pattern) {
  std::istringstream lines(text);
  const std::regex wanted(pattern);
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, wanted)) return true;
  }
  return false;
}

// A pseudo terminal of `columns` columns as a program's standard output;
// what it writes is collected.
class TerminalOutput {
 public:
  explicit TerminalOutput(unsigned short columns = 80) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    // The slave side stays open here too: with none open, the master reads nothing.
    if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
    device_ = ttyname(slave_);
    reader_ = std::thread([this] {
      char chunk[4096];
      for (ssize_t got; (got = read(master_, chunk, sizeof chunk)) > 0;) {
        const std::lock_guard<std::mutex> lock(mutex_);
        text_.append(chunk, static_cast<std::size_t>(got));
      }
    });
  }
  ~TerminalOutput() {
    if (reader_.joinable()) {
      close(slave_);  // with the program gone too, the reader's read ends
      reader_.join();
      close(master_);
    }
  }
  TerminalOutput(const TerminalOutput&) = delete;
  TerminalOutput& operator=(const TerminalOutput&) = delete;

  const std::string& Device() const { return device_; }
  std::string Text() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  bool Await(const std::string& text, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (Text().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string device_;
  std::mutex mutex_;
  std::string text_;
  std::thread reader_;
};

TEST_F(PeerEndToEnd, ListsDownloadsAndUploadsExactBytes) {
  fs::create_directories(desktop_ / "Docs");
  const std::string report = BinaryContents(5000, 1);
  WriteText(desktop_ / "Docs" / "report.bin", report);
  WriteText(desktop_ / "Docs" / "a.txt", "abc");
  auto server = StartServer();

  const Finished listing = Peer({"ls", "C:/Docs/"});
  EXPECT_EQ(listing.code, 0) << listing.err;
  EXPECT_NE(listing.out.find("report.bin"), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find(" 5000 "), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find("a.txt"), std::string::npos) << listing.out;

  const fs::path fetched = scratch_.path() / "fetched.bin";
  const Finished get = Peer({"get", "C:\\Docs\\report.bin", fetched.string()});
  EXPECT_EQ(get.code, 0) << get.err;
  EXPECT_EQ(ReadText(fetched), report);
  EXPECT_NE(get.out.find("Received 5000 bytes"), std::string::npos) << get.out;

  const fs::path upload = scratch_.path() / "photo.jpg";
  const std::string photo = BinaryContents(4000, 2);
  WriteText(upload, photo);
  const Finished put = Peer({"put", upload.string()});
  EXPECT_EQ(put.code, 0) << put.err;
  EXPECT_EQ(ReadText(desktop_ / "photo.jpg"), photo);
  EXPECT_NE(put.out.find("stored as C:\\photo.jpg"), std::string::npos) << put.out;

  // The desktop never overwrites: a second upload of the name is refused.
  WriteText(upload, "other contents");
  const Finished again = Peer({"put", upload.string(), "Sub\\photo.jpg"});
  EXPECT_EQ(again.code, 1);
  EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
  EXPECT_NE(
      again.out.find("Uploads always land in C:\\: Sub\\photo.jpg is stored as C:\\photo.jpg"),
      std::string::npos)
      << again.out;
  EXPECT_EQ(ReadText(desktop_ / "photo.jpg"), photo);

  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(std::chrono::seconds(10)), 0);
  // Not a terminal: the result lines alone, no progress drawn over them.
  const std::string log = server->Out();
  const std::string time = R"(\d\d:\d\d:\d\d  )";
  EXPECT_TRUE(HasLine(log, time + R"(listed C:\\Docs\\\*  4 entries, 1\.2 KB)")) << log;
  EXPECT_TRUE(HasLine(log, time + R"(sent C:\\Docs\\report\.bin  5\.0 KB in \d+\.\d s)")) << log;
  EXPECT_TRUE(HasLine(log, time + R"(stored C:\\photo\.jpg  4\.0 KB  \(.*/desktop/photo\.jpg\))"))
      << log;
  EXPECT_EQ(log.find('\r'), std::string::npos) << log;
}

// A Japanese handheld: names whose second bytes are 0x5C and 0x7C travel whole.
TEST_F(PeerEndToEnd, ShiftJisNamesTravelWhole) {
  WriteText(desktop_ / "\u8868.txt", "hyou");  // 95 5C
  auto server = StartServer("server", {"--codepage", "SHIFT_JIS"});
  const std::vector<std::string> japanese = {"--codepage", "CP932"};
  const auto peer = [&](std::vector<std::string> args) {
    args.insert(args.begin(), japanese.begin(), japanese.end());
    return Peer(args);
  };
  // Into a folder, under the desktop's name.
  const Finished get = peer({"get", "C:\\\u8868.txt", scratch_.path().string()});
  EXPECT_EQ(get.code, 0) << get.err;
  EXPECT_EQ(ReadText(scratch_.path() / "\u8868.txt"), "hyou") << get.out;

  const fs::path upload = scratch_.path() / "\u30dd\u30a4\u30f3\u30c8.txt";  // 83 7C ...
  WriteText(upload, "point");
  const Finished put = peer({"put", upload.string()});
  EXPECT_EQ(put.code, 0) << put.err;
  EXPECT_EQ(ReadText(desktop_ / "\u30dd\u30a4\u30f3\u30c8.txt"), "point");

  const Finished listing = peer({"ls", "C:/*"});
  EXPECT_EQ(listing.code, 0) << listing.err;
  EXPECT_NE(listing.out.find("\u8868.txt"), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find("\u30dd\u30a4\u30f3\u30c8.txt"), std::string::npos) << listing.out;
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(std::chrono::seconds(10)), 0);
}

// On a terminal the server shows what it does, with progress on a long
// transfer that fits a narrow terminal.
TEST_F(PeerEndToEnd, ActivityOnATerminal) {
  WriteText(desktop_ / "kept.txt", "kept");
  WriteText(desktop_ / "long.bin", std::string(1u << 20, 'L'));
  TerminalOutput terminal(40);
  ASSERT_FALSE(terminal.Device().empty());
  auto server = StartServer("server", {}, terminal.Device());
  ASSERT_TRUE(terminal.Await(" baud; Ctrl+C ends.", std::chrono::seconds(10))) << terminal.Text();
  const std::string time = R"(\d\d:\d\d:\d\d  )";

  // The handheld's own requests, as it sends them: an upload of a name that
  // exists, one that is refused, and a download read slowly.
  PosixSerialLine handheld;
  ASSERT_EQ(handheld.Open(HandheldEnd()), 0);
  ASSERT_EQ(handheld.SetSpeed(115200), 0);  // the server's, as the cable carries it
  const auto request = [&](const char* command, const std::string& text) {
    handheld.SendText(command);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    handheld.SendText(text.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
  };
  request("&&", "C:\\kept.txt");
  handheld.SendText("new contents");
  ASSERT_TRUE(terminal.Await("upload dropped", std::chrono::seconds(5))) << terminal.Text();
  request("&&", "\\Windows\\.profile");
  ASSERT_TRUE(terminal.Await("cannot be stored", std::chrono::seconds(5))) << terminal.Text();

  request("@&", "C:\\long.bin");
  std::vector<char> piece(16384);
  std::size_t received = 0;
  const auto start = std::chrono::steady_clock::now();
  while (received < (1u << 20) + 2 &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    std::uint32_t count = 0;
    handheld.ReceiveBytes(piece.data(), static_cast<std::uint32_t>(piece.size()), &count);
    received += count;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // about 320 KB/s
  }
  EXPECT_EQ(received, (1u << 20) + 2) << "the echo and the whole file";
  ASSERT_TRUE(terminal.Await("sent C:\\long.bin", std::chrono::seconds(5))) << terminal.Text();
  handheld.Close();
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(std::chrono::seconds(10)), 0);

  const std::string shown = terminal.Text();
  EXPECT_TRUE(
      HasLine(shown, time + R"(C:\\kept\.txt exists: upload dropped, nothing overwritten\r?)"))
      << shown;
  EXPECT_EQ(ReadText(desktop_ / "kept.txt"), "kept");
  EXPECT_TRUE(HasLine(shown, time + R"(C:\\\.profile cannot be stored: .*\r?)")) << shown;
  EXPECT_FALSE(fs::exists(desktop_ / ".profile"));
  // The progress line, redrawn in place within 39 columns, then replaced by
  // the result line; no other line ever joins it.
  const std::size_t progress = shown.find("\r\033[K  sending ");
  ASSERT_NE(progress, std::string::npos) << shown;
  EXPECT_NE(shown.find(" of 1.0 MB", progress), std::string::npos) << shown;
  EXPECT_LT(progress, shown.find("sent C:\\long.bin  1.0 MB in ")) << shown;
  const std::regex drawn("\r\033\\[K([^\r\n]*)(\r(?!\n)|$)");  // a line ends in \r\n here
  for (auto it = std::sregex_iterator(shown.begin(), shown.end(), drawn);
       it != std::sregex_iterator(); ++it) {
    EXPECT_LE((*it)[1].length(), 39u) << (*it)[1];
  }
  const std::regex stamped(R"(\d\d:\d\d:\d\d  )");
  for (auto it = std::sregex_iterator(shown.begin(), shown.end(), stamped);
       it != std::sregex_iterator(); ++it) {
    const std::string before = shown.substr(0, static_cast<std::size_t>(it->position()));
    EXPECT_TRUE(before.empty() || before.back() == '\n' ||
                before.compare(before.size() - 4, 4, "\r\033[K") == 0)
        << "a line joined the progress: " << it->str();
  }
}

TEST_F(PeerEndToEnd, FailuresAreExplained) {
  WriteText(desktop_ / "present.txt", "here");
  auto server = StartServer();

  const Finished missing = Peer({"get", "C:/absent.txt", (scratch_.path() / "x").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(CountLines(missing.err), 1u) << missing.err;
  EXPECT_NE(missing.err.find("no file C:/absent.txt"), std::string::npos) << missing.err;
  EXPECT_FALSE(fs::exists(scratch_.path() / "x"));

  const Finished nothing = Peer({"ls", "C:/NoSuchFolder/*"});
  EXPECT_EQ(nothing.code, 1);
  EXPECT_NE(nothing.err.find("nothing matches C:\\NoSuchFolder\\*"), std::string::npos)
      << nothing.err;

  // An empty file would be no message at all: refused before anything is sent.
  WriteText(scratch_.path() / "empty", "");
  const Finished empty = Peer({"put", (scratch_.path() / "empty").string()});
  EXPECT_EQ(empty.code, 1);
  EXPECT_NE(empty.err.find("is empty"), std::string::npos) << empty.err;

  // A name the desktop would not store.
  WriteText(scratch_.path() / "full", "x");
  const Finished device = Peer({"put", (scratch_.path() / "full").string(), "C:/con"});
  EXPECT_EQ(device.code, 1);
  EXPECT_NE(device.err.find("cannot store a file named 'con'"), std::string::npos) << device.err;

  // The link still serves after all of them.
  const Finished listing = Peer({"ls", "C:/*"});
  EXPECT_EQ(listing.code, 0) << listing.err;
  EXPECT_NE(listing.out.find("present.txt"), std::string::npos) << listing.out;

  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(std::chrono::seconds(10)), 0);
}

// What the listing shows with bytes but arrives empty is a failure, and no
// local file is lost or left half-written.
TEST_F(PeerEndToEnd, DownloadsNeverLieNorDestroy) {
  fs::create_directories(desktop_ / "Docs");
  WriteText(desktop_ / "empty.txt", "");
  // Sparse: larger than the 32-bit sizes a download carries, so the desktop sends nothing.
  WriteText(desktop_ / "huge.bin", "");
  fs::resize_file(desktop_ / "huge.bin", std::uint64_t{1} << 32);
  const fs::path handheld = scratch_.path() / "handheld";
  fs::create_directories(handheld);
  const fs::path mine = handheld / "mine.txt";
  WriteText(mine, "keep me");
  auto server = StartServer();

  const Finished huge = Peer({"get", "C:/huge.bin", (handheld / "huge").string()});
  EXPECT_EQ(huge.code, 1);
  EXPECT_EQ(CountLines(huge.err), 1u) << huge.err;
  EXPECT_NE(huge.err.find("sent nothing of C:/huge.bin"), std::string::npos) << huge.err;

  const Finished folder = Peer({"get", "C:/Docs", (handheld / "Docs").string()});
  EXPECT_EQ(folder.code, 1);
  EXPECT_NE(folder.err.find("is a folder"), std::string::npos) << folder.err;

  const Finished kept = Peer({"get", "C:/empty.txt", mine.string()});
  EXPECT_EQ(kept.code, 1);
  EXPECT_NE(kept.err.find("exists; give --force"), std::string::npos) << kept.err;
  EXPECT_EQ(ReadText(mine), "keep me");

  // A genuinely empty file is no failure; --force replaces.
  const Finished forced = Peer({"get", "--force", "C:/empty.txt", mine.string()});
  EXPECT_EQ(forced.code, 0) << forced.err;
  EXPECT_EQ(ReadText(mine), "");

  // Nothing else was written: no file for a failure, no temporary left.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(handheld)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"mine.txt"});

  // What the line cannot carry is refused before anything is sent.
  WriteText(scratch_.path() / "two", "ab");
  const Finished two = Peer({"put", (scratch_.path() / "two").string()});
  EXPECT_EQ(two.code, 1);
  EXPECT_NE(two.err.find("is 2 bytes long"), std::string::npos) << two.err;
  const Finished directory = Peer({"put", handheld.string()});
  EXPECT_EQ(directory.code, 1);
  EXPECT_NE(directory.err.find("is a folder"), std::string::npos) << directory.err;

  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(std::chrono::seconds(10)), 0);
}

// An upload ends once its bytes have had the line's time, whatever the
// device says of its queue (a pseudo terminal always says it is empty), so
// the check that follows never joins it. A signal ends any wait at once, and
// the device is free for the next run.
TEST_F(PeerEndToEnd, TheSimulatorNeverOutwaitsTheLineOrASignal) {
  auto server = StartServer();
  const fs::path file = scratch_.path() / "fast.bin";
  WriteText(file, BinaryContents(30000, 5));  // 2.6 s at 115200 baud
  const Finished put = Peer({"put", file.string()}, "fast");
  EXPECT_EQ(put.code, 0) << put.err;
  EXPECT_EQ(ReadText(desktop_ / "fast.bin"), BinaryContents(30000, 5));
  const Finished drive = Peer({"ls", "C:"}, "drive");  // 2 bytes alone would be a command
  EXPECT_NE(drive.out.find("fast.bin"), std::string::npos) << drive.err;
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(std::chrono::seconds(10)), 0);

  // No server now: the simulator waits for an echo that never comes.
  ChildProcess waiting({QL_PEER_PROGRAM, "--port", HandheldEnd(), "ls", "C:/*"}, scratch_.path(),
                       "waiting", env_);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  waiting.Signal(SIGTERM);
  EXPECT_EQ(waiting.Wait(std::chrono::seconds(2)), 128 + SIGTERM) << waiting.Err();
  EXPECT_NE(waiting.Err().find("stopped by"), std::string::npos) << waiting.Err();
  const Finished next = Peer({"ls", "C:/*"}, "next");
  EXPECT_NE(next.err.find("no answer"), std::string::npos) << "the device is free: " << next.err;
}

TEST_F(PeerEndToEnd, NoServerMeansNoAnswer) {
  const Finished version = RunToEnd({QL_PEER_PROGRAM, "--version"}, scratch_.path(), "version");
  EXPECT_EQ(version.code, 0) << version.err;
  EXPECT_EQ(version.out.rfind("quarnelix-peer ", 0), 0u) << version.out;

  const Finished lonely = Peer({"ls", "C:/*"});
  EXPECT_EQ(lonely.code, 1);
  EXPECT_NE(lonely.err.find("no answer"), std::string::npos) << lonely.err;

  const Finished usage = Peer({"--speed", "9600", "ls", "C:/*"}, "usage");
  EXPECT_EQ(usage.code, 2);
  EXPECT_EQ(CountLines(usage.err), 1u) << usage.err;

  const Finished nowhere = RunToEnd(
      {QL_PEER_PROGRAM, "--port", "/dev/ttyNoSuchThing", "ls", "C:/*"}, scratch_.path(), "nowhere");
  EXPECT_EQ(nowhere.code, 1);
  EXPECT_NE(nowhere.err.find("There is no device /dev/ttyNoSuchThing"), std::string::npos)
      << nowhere.err;
}

// A Japanese name is a name, not a pattern: with the handheld's code page it
// is fetched, and a code page that cannot write it says so.
TEST_F(PeerEndToEnd, JapanesePathIsNotAPattern) {
  WriteText(desktop_ / "\u65e5\u672c.txt", "nihon");
  auto server = StartServer("server", {"--codepage", "CP932"});
  const fs::path local = scratch_.path() / "nihon.txt";
  const Finished get = Peer({"--codepage", "CP932", "get", "C:/\u65e5\u672c.txt", local.string()});
  EXPECT_EQ(get.code, 0) << get.err;
  EXPECT_EQ(ReadText(local), "nihon");
  const Finished western = Peer({"get", "C:/\u65e5\u672c.txt", local.string() + "2"}, "western");
  EXPECT_EQ(western.code, 1);
  EXPECT_NE(western.err.find("WINDOWS-1252 cannot write C:\\\u65e5\u672c.txt; give the handheld's "
                             "own with --codepage"),
            std::string::npos)
      << western.err;
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(std::chrono::seconds(10)), 0);
}

// The demonstration found through PATH and started in another folder finds
// its programs beside itself, and answers --help without running.
TEST(Demo, RunsThroughPathFromAnyFolder) {
  const ScratchFolder scratch;
  const std::map<std::string, std::string> env = {
      {"PATH", fs::path(QL_PEER_PROGRAM).parent_path().string() + ":/usr/bin:/bin"},
      {"XDG_RUNTIME_DIR", scratch.path().string()}};
  const auto demo = [&](const std::string& args, const std::string& name) {
    return RunToEnd(
        {"/bin/sh", "-c", "cd " + scratch.path().string() + " && quarnelix-demo" + args},
        scratch.path(), name, env);
  };
  const Finished help = demo(" --help", "help");
  EXPECT_EQ(help.code, 0) << help.err;
  EXPECT_EQ(help.out.rfind("Usage: quarnelix-demo", 0), 0u) << help.out;
  EXPECT_EQ(help.out.find("==>"), std::string::npos) << help.out;
  const Finished run = demo("", "demo");
  EXPECT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Demonstration complete"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace ql::testing
