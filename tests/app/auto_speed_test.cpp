// quarnelix-link finding the handheld's speed: taken on the command line, the
// default while no speed is remembered, and as a process on a virtual cable.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>
#include <thread>

#include "app/posix/link_command_line.h"
#include "app/terminal/command_line.h"
#include "link/uart_line.h"
#include "serial/posix/posix_serial_line.h"
#include "tests/tools/link_on_cable.h"

namespace ql::testing {
namespace {

using std::chrono::seconds;

TEST(AutoSpeedCommandLine, AutoIsASpeedAndNumbersStayFixed) {
  const struct {
    std::vector<const char*> args;
    unsigned speed;
    const char* refusal;
  } cases[] = {
      {{"-b", "auto"}, kFindSpeed, ""},
      {{"--speed", "auto"}, kFindSpeed, ""},
      {{"--baud=auto"}, kFindSpeed, ""},
      {{"--speed", "57600"}, 57600, ""},
      {{}, 0, ""},
      {{"--speed", "Auto"},
       0,
       "--speed: speed Auto is not one of 19200, 38400, 57600, 115200, or auto"},
      {{"-b", "9600"}, 0, "-b: speed 9600 is not one of 19200, 38400, 57600, 115200\n"},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv{"quarnelix-link"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    CommandLine options;
    std::ostringstream out;
    std::ostringstream err;
    const int parsed =
        ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options, out, err);
    EXPECT_EQ(parsed, *c.refusal == '\0' ? -1 : 2) << argv.back();
    EXPECT_EQ(options.speed, c.speed) << argv.back();
    EXPECT_NE(err.str().find(c.refusal), std::string::npos) << err.str();
  }
}

class AutoSpeed : public LinkOnCable {
 protected:
  // The server with no speed given.
  std::unique_ptr<ChildProcess> StartFinding(const std::string& name) {
    auto server = std::make_unique<ChildProcess>(
        std::vector<std::string>{QL_LINK_PROGRAM, "--port", ServerEnd(), "--drive",
                                 "C=" + desktop_.string(), "--settings", SettingsFile().string()},
        scratch_.path(), name, env_);
    EXPECT_TRUE(server->AwaitOutput(" opened.", seconds(10))) << server->Out() << server->Err();
    return server;
  }
  Finished PeerAt(const std::string& speed, const std::string& name) {
    return RunToEnd({QL_PEER_PROGRAM, "--port", HandheldEnd(), "--speed", speed, "ls", "C:/*"},
                    scratch_.path(), name, env_);
  }
  static void Stop(ChildProcess& server) {
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(seconds(10)), 0) << server.Err();
  }
};

// With no speed remembered it listens at 115200 and finds; a handheld at
// 115200 is served as at a fixed speed, and the speed is remembered.
TEST_F(AutoSpeed, AtTheRightSpeedItNeverMoves) {
  WriteText(desktop_ / "served.txt", "x");
  auto server = StartFinding("server");
  EXPECT_TRUE(server->AwaitOutput(
      "Serving at 115200 baud, or at the speed the handheld turns out to use; Ctrl+C ends.",
      seconds(5)))
      << server->Out();
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(PeerAt("115200", "peer").out.find("served.txt"), std::string::npos);
  }
  Stop(*server);
  EXPECT_EQ(server->Out().find("listening at"), std::string::npos) << server->Out();
  EXPECT_EQ(server->Out().find("The handheld is at"), std::string::npos) << server->Out();
  EXPECT_NE(ReadText(SettingsFile()).find("LastSpeed=3\n"), std::string::npos);
}

// A command sent at 38400 as 115200 reads it moves the server to 38400; the
// next command decodes there, which is said once and remembered, and the
// next run serves at 38400.
TEST_F(AutoSpeed, MovesToTheSpeedTheGarbleNamesAndKeepsIt) {
  WriteText(desktop_ / "served.txt", "x");
  auto server = StartFinding("server");
  PosixSerialLine handheld;
  ASSERT_EQ(handheld.Open(HandheldEnd()), 0);
  const std::string garbled = ReceivedAtSpeed("@@", 38400, 115200);
  ASSERT_EQ(handheld.SendBlocks(garbled.data(), static_cast<std::uint32_t>(garbled.size())), 0);
  EXPECT_TRUE(server->AwaitOutput(
      "Bytes arrive that make no command at 115200; listening at 38400.\n", seconds(5)))
      << server->Out();
  handheld.Close();
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(PeerAt("38400", "peer").out.find("served.txt"), std::string::npos);
  }
  Stop(*server);
  const std::string out = server->Out();
  const std::string found = "The handheld is at 38400 baud; serving at 38400.\n";
  EXPECT_NE(out.find(found), std::string::npos) << out;
  EXPECT_EQ(out.find(found), out.rfind(found)) << "said once: " << out;
  EXPECT_EQ(out.find("probably not at"), std::string::npos) << "no hint while finding: " << out;
  EXPECT_NE(ReadText(SettingsFile()).find("LastSpeed=1\n"), std::string::npos);

  auto again = StartFinding("again");
  EXPECT_TRUE(again->AwaitOutput("Serving at 38400 baud; Ctrl+C ends.", seconds(5)))
      << again->Out();
  Stop(*again);
}

// A handheld at a speed none of the four fits: each move is told while
// speeds are left to try, then one line says so, and the search goes on.
TEST_F(AutoSpeed, NoSpeedThatFitsIsToldOnceNotAtEveryMove) {
  auto server = StartFinding("server");
  PosixSerialLine handheld;
  ASSERT_EQ(handheld.Open(HandheldEnd()), 0);
  ASSERT_EQ(handheld.SetSpeed(9600), 0);
  for (int i = 0; i < 10; ++i) {
    handheld.SendText(i % 2 == 0 ? "@@" : "C:\\*");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  handheld.Close();
  EXPECT_TRUE(server->AwaitOutput("or the line may be noisy; still trying.", seconds(5)))
      << server->Out();
  Stop(*server);
  const std::string out = server->Out();
  std::size_t moves = 0;
  for (std::size_t at = out.find("; listening at "); at != std::string::npos;
       at = out.find("; listening at ", at + 1)) {
    ++moves;
  }
  EXPECT_LE(moves, 4u) << out;
  EXPECT_EQ(out.find("still trying"), out.rfind("still trying")) << out;
}

// Over a cable that runs each end at its own speed and paces the bytes, a
// handheld at any speed gets its listing by its second command at the latest,
// from a server that starts at 115200 with nothing remembered.
TEST_F(AutoSpeed, EveryHandheldSpeedIsFoundByTheSecondCommand) {
  cable_.reset();
  std::string error;
  cable_ = VirtualCable::Create(scratch_.path().string(), error, CableOptions{true});
  ASSERT_NE(cable_, nullptr) << error;
  WriteText(desktop_ / "served.txt", "x");
  const char* const speeds[] = {"19200", "38400", "57600", "115200"};
  for (std::size_t index = 0; index < std::size(speeds); ++index) {
    const char* speed = speeds[index];
    SCOPED_TRACE(speed);
    fs::remove(SettingsFile());
    auto server = StartFinding(std::string("server-") + speed);
    const Finished first = PeerAt(speed, "first");
    const Finished second = PeerAt(speed, "second");
    EXPECT_NE(second.out.find("served.txt"), std::string::npos) << second.out << second.err;
    if (std::string(speed) == "115200") {
      EXPECT_NE(first.out.find("served.txt"), std::string::npos) << "none lost at the right speed";
    }
    Stop(*server);
    EXPECT_NE(ReadText(SettingsFile()).find("LastSpeed=" + std::to_string(index) + "\n"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace ql::testing
