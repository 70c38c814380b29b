// quarnelix-link as a process: mistakes a person can make, the close
// sequence on a signal, one server per device, and a device that goes away.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/common/exit_codes.h"
#include "app/posix/activity_log.h"
#include "app/posix/link_command_line.h"
#include "app/terminal/terminal_output.h"
#include "link/uart_line.h"
#include "serial/posix/posix_serial_line.h"
#include "tests/tools/link_on_cable.h"

namespace ql::testing {
namespace {

using std::chrono::seconds;

// A quit takes milliseconds; a server that let a stalled transfer run out
// first would take the line's 5 s stall bound. Between the two, room for a
// machine that is busy with other work.
constexpr auto kPromptQuit = seconds(3);

class LinkProgram : public LinkOnCable {
 protected:
  // A failed start: a non-zero exit and exactly one line that explains it.
  void ExpectOneLineRefusal(const std::vector<std::string>& args, const std::string& expected) {
    const Finished run = RunToEnd(args, scratch_.path(), "refused", env_);
    EXPECT_NE(run.code, 0) << run.out;
    EXPECT_LT(run.code, 128) << "crashed: " << run.err;
    EXPECT_EQ(CountLines(run.err), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("quarnelix-link: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
  }
};

// Reads what waits on the handheld's end until the line is quiet, then lets go of it.
void ReadAwayAndClose(PosixSerialLine& handheld) {
  std::vector<char> stale(65536);
  for (std::uint32_t count = 1; count > 0;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    handheld.ReceiveBytes(stale.data(), static_cast<std::uint32_t>(stale.size()), &count);
  }
  handheld.Close();
}

TEST_F(LinkProgram, MistakesGetOneClearLine) {
  ExpectOneLineRefusal({QL_LINK_PROGRAM, "--colour"}, "--colour");
  ExpectOneLineRefusal({QL_LINK_PROGRAM, "--speed", "9600"}, "speed 9600 is not one of");
  ExpectOneLineRefusal({QL_LINK_PROGRAM, "--speed", "fast"}, "fast");
  ExpectOneLineRefusal(ServerArgs({"--drive", "C"}), "is not X=FOLDER");
  ExpectOneLineRefusal(ServerArgs({"--drive", "Q=/no/such/folder"}), "is not a folder");
  ExpectOneLineRefusal(ServerArgs({"--codepage", "KLINGON"}), "--codepage KLINGON");

  // A settings path that is a folder cannot be read.
  ExpectOneLineRefusal({QL_LINK_PROGRAM, "--settings", scratch_.path().string()},
                       "cannot use the settings file");
  WriteText(SettingsFile(), "[options]\nLastSpeed=7\n");
  ExpectOneLineRefusal(
      {QL_LINK_PROGRAM, "--port", ServerEnd(), "--settings", SettingsFile().string()},
      "LastSpeed=7");
  // Only a regular file of sensible size is read: neither waits nor fills the memory.
  const fs::path fifo = scratch_.path() / "fifo.ini";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& settings : {fifo.string(), std::string("/dev/zero")}) {
    ExpectOneLineRefusal({QL_LINK_PROGRAM, "--port", ServerEnd(), "--settings", settings},
                         "not a regular file");
  }

  // A missing device: one line that says why, not also the Windows dialog's guess.
  const std::vector<std::string> missing = {QL_LINK_PROGRAM, "--port", "/dev/ttyNoSuchThing",
                                            "--settings", (scratch_.path() / "m.ini").string()};
  ExpectOneLineRefusal(missing, "There is no device /dev/ttyNoSuchThing");
  const Finished run = RunToEnd(missing, scratch_.path(), "missing", env_);
  EXPECT_EQ(run.out.find("Unable open"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(scratch_.path() / "m.ini"));  // nothing ran, nothing to save

  const Finished help = RunToEnd({QL_LINK_PROGRAM, "--help"}, scratch_.path(), "help");
  EXPECT_EQ(help.code, 0);
  for (const char* option : {"--port", "--speed", "--drive", "--codepage", "--settings", "--trace",
                             "--version", "/dev/ttyUSB0", "dialout"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
}

TEST_F(LinkProgram, SignalClosesThePortAndSavesTheSettings) {
  // Keys out of order, a value that the run changes, and a section of someone else's.
  WriteText(SettingsFile(),
            "; mine\n[options]\nHide=1\nLastSpeed=0\nAuto=1\n\n[ports]\nCOM2=/dev/ttyUSB7\n\n"
            "[other]\nkey=kept\n");
  auto server = StartServer();
  EXPECT_NE(server->Out().find(ServerEnd() + " opened.\n"), std::string::npos);
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0) << server->Err();
  EXPECT_NE(server->Out().find(ServerEnd() + " closed\n"), std::string::npos) << server->Out();

  const std::string saved = ReadText(SettingsFile());
  const std::string options =
      "[options]\nLastPort=0\nLastSpeed=3\nAuto=1\nHide=1\nShowHide=0\nStartStop=0\n"
      "HotkeyShowHide=0\nHotkeyStartStop=0\n";
  EXPECT_NE(saved.find(options), std::string::npos) << saved;
  EXPECT_NE(saved.find("COM2=/dev/ttyUSB7"), std::string::npos) << saved;
  EXPECT_NE(saved.find("[other]\nkey=kept"), std::string::npos) << saved;
  EXPECT_EQ(saved.rfind("; mine\n", 0), 0u) << saved;
  // A device that [ports] does not name is served again by a plain run.
  ChildProcess plain({QL_LINK_PROGRAM, "--settings", SettingsFile().string()}, scratch_.path(),
                     "plain", env_);
  EXPECT_TRUE(plain.AwaitOutput(ServerEnd() + " opened.", seconds(10))) << plain.Err();
  plain.Signal(SIGTERM);
  EXPECT_EQ(plain.Wait(seconds(10)), 0) << plain.Err();

  // Ctrl+C does the same; the default settings file lives under XDG_CONFIG_HOME.
  ChildProcess second({QL_LINK_PROGRAM, "--port", ServerEnd()}, scratch_.path(), "second", env_);
  ASSERT_TRUE(second.AwaitOutput(" opened.", seconds(10))) << second.Err();
  second.Signal(SIGINT);
  EXPECT_EQ(second.Wait(seconds(10)), 0);
  EXPECT_NE(ReadText(scratch_.path() / "config/quarnelix-link/Quarnelix_link.ini")
                .find("HotkeyStartStop=0"),
            std::string::npos);
}

TEST_F(LinkProgram, DefaultDriveAndSettingsThatCannotBeUsedAsTheyAre) {
  // No drive given: C: is a folder of its own, made for the user alone.
  WriteText(SettingsFile(), "[drives]\nD=/no/such/stick\n");
  const std::vector<std::string> plain = {QL_LINK_PROGRAM, "--port", ServerEnd(), "--settings",
                                          SettingsFile().string()};
  auto server = std::make_unique<ChildProcess>(plain, scratch_.path(), "default", env_);
  ASSERT_TRUE(server->AwaitOutput(" opened.", seconds(10))) << server->Err();
  const fs::path handheld = home_ / "Handheld";
  EXPECT_NE(server->Out().find("Made the folder " + handheld.string()), std::string::npos)
      << server->Out();
  EXPECT_NE(server->Out().find("Drive C: is " + handheld.string() + " (uploads"), std::string::npos)
      << server->Out();
  EXPECT_EQ(fs::status(handheld).permissions(), fs::perms::owner_all);
  // A drive folder that is not there is a warning, and the server runs without it.
  EXPECT_EQ(CountLines(server->Err()), 1u) << server->Err();
  EXPECT_NE(server->Err().find("warning: " + SettingsFile().string() + ": [drives] drive D:"),
            std::string::npos)
      << server->Err();
  EXPECT_EQ(server->Out().find("Drive D:"), std::string::npos) << server->Out();
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0) << server->Err();

  // The whole home folder only when asked for; "~" works on the command line and in the file.
  WriteText(SettingsFile(), "[drives]\nE=~/Handheld\n");
  server = std::make_unique<ChildProcess>(
      std::vector<std::string>{QL_LINK_PROGRAM, "--port", ServerEnd(), "--settings",
                               SettingsFile().string(), "--drive", "C=~"},
      scratch_.path(), "home", env_);
  ASSERT_TRUE(server->AwaitOutput(" opened.", seconds(10))) << server->Err();
  EXPECT_NE(server->Out().find("Drive C: is " + home_.string() + " (uploads"), std::string::npos)
      << server->Out();
  EXPECT_NE(server->Out().find("Drive E: is " + handheld.string() + "\n"), std::string::npos)
      << server->Out();
  EXPECT_EQ(server->Out().find("Made the folder"), std::string::npos) << server->Out();
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0) << server->Err();

  // A settings file that cannot be saved is said at once, and the session still runs.
  // No one may make files in /proc, not even root.
  const std::string unsavable = "/proc/Quarnelix_link.ini";
  server = std::make_unique<ChildProcess>(
      std::vector<std::string>{QL_LINK_PROGRAM, "--port", ServerEnd(), "--speed", "115200",
                               "--settings", unsavable},
      scratch_.path(), "unsavable", env_);
  ASSERT_TRUE(server->AwaitOutput("Serving at", seconds(10))) << server->Err();
  for (int i = 0; i < 100 && server->Err().empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(server->Err().find("warning: the settings cannot be saved to " + unsavable),
            std::string::npos)
      << server->Err();
  WriteText(handheld / "served.txt", "x");
  EXPECT_NE(Peer({"ls", "C:/*"}).out.find("served.txt"), std::string::npos);
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0) << "said once, at the start: " << server->Err();
  EXPECT_EQ(server->Err().find("cannot save"), std::string::npos) << server->Err();
}

TEST_F(LinkProgram, OneServerPerDevice) {
  auto first = StartServer("first");
  // The same device by its own name, not by the link that the first one used.
  const std::string real = fs::canonical(ServerEnd()).string();
  ExpectOneLineRefusal({QL_LINK_PROGRAM, "--port", real, "--settings", SettingsFile().string()},
                       "already serving " + real + " (process " + std::to_string(first->Pid()));
  first->Signal(SIGTERM);
  EXPECT_EQ(first->Wait(seconds(10)), 0);

  // A device that another program holds: this test, named by the system.
  PosixSerialLine holder;
  ASSERT_EQ(holder.Open(ServerEnd()), 0);
  ExpectOneLineRefusal(ServerArgs(),
                       "is held by posix_link_test (process " + std::to_string(getpid()) + ")");
}

// Without a runtime folder the lock folder sits in the temporary folder, which
// every user may write: what another user left there is never used.
TEST_F(LinkProgram, LockFolderThatAnotherUserCouldReach) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "needs root and setpriv to act as a second user";
  }
  const fs::path tmp = scratch_.path() / "tmp";
  fs::create_directories(tmp);
  fs::permissions(scratch_.path(), fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(tmp, fs::perms::all | fs::perms::sticky_bit);
  env_["XDG_RUNTIME_DIR"] = "";
  env_["TMPDIR"] = tmp.string();
  const fs::path folder = tmp / "quarnelix-link-0";
  std::string lockName = fs::canonical(ServerEnd()).string().substr(1);
  std::replace(lockName.begin(), lockName.end(), '/', '_');
  lockName += ".lock";
  const fs::path precious = scratch_.path() / "precious";
  WriteText(precious, "root's own\n");
  const auto asNobody = [&](const std::string& command) {
    const std::vector<std::string> args = {"/usr/bin/setpriv",
                                           "--reuid=65534",
                                           "--regid=65534",
                                           "--clear-groups",
                                           "/bin/sh",
                                           "-c",
                                           command};
    ASSERT_EQ(RunToEnd(args, scratch_.path(), "nobody").code, 0) << command;
  };
  const auto expectRefusedAndUntouched = [&](const std::string& why) {
    ExpectOneLineRefusal(ServerArgs(), why);
    EXPECT_EQ(ReadText(precious), "root's own\n");
    EXPECT_TRUE(fs::is_symlink(folder / lockName) || fs::is_symlink(folder) ||
                !fs::exists(folder / lockName));
  };

  // Made in advance by another user, open or not, with a link planted for a lock file.
  asNobody("mkdir -m 0777 " + folder.string() + " && ln -s " + precious.string() + " " +
           (folder / lockName).string());
  expectRefusedAndUntouched("cannot use the lock folder " + folder.string() +
                            ": it belongs to another user (uid 65534)");
  fs::permissions(folder, fs::perms::owner_all);
  expectRefusedAndUntouched("it belongs to another user");
  fs::remove_all(folder);

  // A link to a folder of root's own, put there by another user.
  fs::create_directories(scratch_.path() / "roots");
  fs::permissions(scratch_.path() / "roots", fs::perms::owner_all);
  asNobody("ln -s " + (scratch_.path() / "roots").string() + " " + folder.string());
  expectRefusedAndUntouched("it is a link or a file, not a folder");
  fs::remove(folder);

  // The user's own folder, but one others may enter.
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::owner_all | fs::perms::others_exec);
  expectRefusedAndUntouched("other users may use it (mode 0701)");

  // A link as the lock file in the user's own folder is not followed either.
  fs::permissions(folder, fs::perms::owner_all);
  fs::create_symlink(precious, folder / lockName);
  expectRefusedAndUntouched("cannot use the lock file " + (folder / lockName).string() +
                            ": it is a link");
  ASSERT_TRUE(fs::remove(folder / lockName));

  // And a folder the server made itself serves, with its id in the lock file.
  fs::remove(folder);
  auto server = StartServer();
  EXPECT_EQ(ReadText(folder / lockName), std::to_string(server->Pid()) + "\n");
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0) << server->Err();
  EXPECT_FALSE(fs::exists(folder / lockName));
}

TEST_F(LinkProgram, NoPermissionGivesAdviceThatHelps) {
  const group* dialout = getgrnam("dialout");
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 || dialout == nullptr) {
    GTEST_SKIP() << "needs root, setpriv and a dialout group to act as a user outside it";
  }
  const std::string device = fs::canonical(ServerEnd()).string();
  ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(chmod(device.c_str(), 0660), 0);
  // The user "nobody" must reach the program's lock and settings folders.
  const fs::path shared = scratch_.path() / "shared";
  fs::create_directories(shared);
  fs::permissions(scratch_.path(), fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  fs::permissions(scratch_.path() / "run", fs::perms::all);
  const std::vector<std::string> asNobody = {"/usr/bin/setpriv",
                                             "--reuid=65534",
                                             "--regid=65534",
                                             "--clear-groups",
                                             QL_LINK_PROGRAM,
                                             "--port",
                                             device,
                                             "--drive",
                                             "C=" + shared.string(),
                                             "--settings",
                                             (shared / "Quarnelix_link.ini").string()};
  ExpectOneLineRefusal(asNobody,
                       "belongs to group 'dialout'. Join it with 'sudo usermod -aG dialout $USER'");
  // A member of the device's group (nobody's own, 65534) whose session began without it.
  ASSERT_EQ(chown(device.c_str(), 0, 65534), 0);
  std::vector<std::string> beforeJoining = asNobody;
  beforeJoining[2] = "--regid=" + std::to_string(dialout->gr_gid);
  ExpectOneLineRefusal(beforeJoining, "after this session began. Log out and in again");

  // Never a group that gives root's powers, nor one the device gives nothing to.
  const group* sudo = getgrnam("sudo");
  struct Case {
    gid_t group;
    mode_t mode;
  };
  for (const Case& c :
       {Case{0, 0600}, Case{0, 0660}, Case{dialout->gr_gid, 0600}, Case{dialout->gr_gid, 0640},
        Case{sudo != nullptr ? sudo->gr_gid : 0, 0660}}) {
    ASSERT_EQ(chown(device.c_str(), 0, c.group), 0);
    ASSERT_EQ(chmod(device.c_str(), c.mode), 0);
    ExpectOneLineRefusal(asNobody, "may open it;");
    const Finished run = RunToEnd(asNobody, scratch_.path(), "refused", env_);
    EXPECT_EQ(run.err.find("usermod"), std::string::npos) << c.group << " " << c.mode << run.err;
  }
}

TEST_F(LinkProgram, SurvivesTheDeviceGoingAwayAndComingBack) {
  WriteText(desktop_ / "still.txt", "served");
  auto server = StartServer("server", {"--trace"});
  const std::string before = fs::canonical(ServerEnd()).string();
  cable_->Unplug(VirtualCable::kServerEnd);
  EXPECT_TRUE(server->AwaitOutput("went away", seconds(5))) << server->Out();
  // Back under another real path, as an adapter may come back as ttyUSB1.
  std::string error;
  ASSERT_TRUE(cable_->Replug(VirtualCable::kServerEnd, error, true)) << error;
  const std::string after = fs::canonical(ServerEnd()).string();
  ASSERT_NE(after, before);
  EXPECT_TRUE(server->AwaitOutput(" opened.", seconds(6), 2)) << server->Out();
  // A second server still learns who serves it; the old name is free for another device.
  ExpectOneLineRefusal({QL_LINK_PROGRAM, "--port", after, "--settings", SettingsFile().string()},
                       "already serving " + after + " (process " + std::to_string(server->Pid()));
  std::string oldLock = before.substr(1) + ".lock";
  std::replace(oldLock.begin(), oldLock.end(), '/', '_');
  EXPECT_FALSE(fs::exists(scratch_.path() / "run/quarnelix-link" / oldLock));

  const Finished listing = Peer({"ls", "C:/*"});
  EXPECT_EQ(listing.code, 0) << listing.err;
  EXPECT_NE(listing.out.find("still.txt"), std::string::npos) << listing.out;
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0) << server->Err();

  // The trace shows the exchange, each line with the time of day.
  const std::string trace = server->Err();
  EXPECT_NE(trace.find("comtest"), std::string::npos) << trace;
  EXPECT_NE(trace.find(" server setmachine state\n"), std::string::npos) << trace;
  EXPECT_EQ(trace.find_first_not_of("0123456789"), 2u) << trace;  // "hh:mm:ss.mmm ..."
}

// CPU seconds (user and system) a process has used so far.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST_F(LinkProgram, DeviceLostInTheMiddleOfADownload) {
  WriteText(desktop_ / "big.bin", std::string(8u << 20, 'b'));
  auto server = StartServer("server");
  // The handheld asks for the file and then reads nothing: the server is
  // still sending when the cable is pulled.
  PosixSerialLine handheld;
  ASSERT_EQ(handheld.Open(HandheldEnd()), 0);
  ASSERT_EQ(handheld.SetSpeed(115200), 0);  // the server's, as the cable carries it
  handheld.SendText("@&");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  handheld.SendText("C:\\big.bin");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  handheld.Close();
  cable_->Unplug(VirtualCable::kServerEnd);
  EXPECT_TRUE(server->AwaitOutput("went away", seconds(10))) << server->Out();

  const double before = CpuSeconds(server->Pid());
  std::this_thread::sleep_for(seconds(2));
  EXPECT_LT(CpuSeconds(server->Pid()) - before, 0.2) << "no busy loop while the device is gone";

  std::string error;
  ASSERT_TRUE(cable_->Replug(VirtualCable::kServerEnd, error)) << error;
  EXPECT_TRUE(server->AwaitOutput(" opened.", seconds(6), 2)) << server->Out();
  // What was on its way to the handheld before the cable was pulled is dropped.
  ASSERT_EQ(handheld.Open(HandheldEnd()), 0);
  ASSERT_EQ(handheld.SetSpeed(115200), 0);  // the server's, as the cable carries it
  ReadAwayAndClose(handheld);
  const Finished listing = Peer({"ls", "C:/*"});
  EXPECT_EQ(listing.code, 0) << listing.err;
  EXPECT_NE(listing.out.find("big.bin"), std::string::npos) << listing.out;
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0) << server->Err();
}

// The handheld asks for a file and then reads nothing: the line stalls.
TEST_F(LinkProgram, StalledLineEndsOnlyItsTransfer) {
  WriteText(desktop_ / "big.bin", std::string(4u << 20, 'b'));
  WriteText(desktop_ / "small.txt", "small");
  auto server = StartServer("server", {"--trace"});
  PosixSerialLine handheld;
  const auto askForTheBigFile = [&] {
    ASSERT_EQ(handheld.Open(HandheldEnd()), 0);
    ASSERT_EQ(handheld.SetSpeed(115200), 0);  // the server's, as the cable carries it
    handheld.SendText("@&");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    handheld.SendText("C:\\big.bin");
  };
  askForTheBigFile();
  const auto stalledAt = std::chrono::steady_clock::now();
  const auto traced = [&](const std::string& text) {
    for (int i = 0; i < 750 && server->Err().find(text) == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return server->Err().find(text) != std::string::npos;
  };
  ASSERT_TRUE(traced("transfer ended: the port did not take the bytes")) << server->Err();
  EXPECT_GT(std::chrono::steady_clock::now() - stalledAt, seconds(4));

  // What made it onto the line is read away; the next request is served.
  ReadAwayAndClose(handheld);
  const Finished listing = Peer({"ls", "C:/*"});
  EXPECT_EQ(listing.code, 0) << listing.err;
  EXPECT_NE(listing.out.find("small.txt"), std::string::npos) << listing.out;
  EXPECT_EQ(server->Out().find("went away"), std::string::npos) << server->Out();

  // A signal in the middle of a stalled transfer ends the program at once, as it should.
  askForTheBigFile();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto signalled = std::chrono::steady_clock::now();
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0) << server->Err();
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, kPromptQuit);
  EXPECT_NE(server->Out().find(ServerEnd() + " closed\n"), std::string::npos) << server->Out();
  EXPECT_NE(ReadText(SettingsFile()).find("LastSpeed=3"), std::string::npos);
  const std::string trace = server->Err();
  const std::string ended = "transfer ended: the port did not take the bytes\n";
  const std::size_t first = trace.find(ended);
  EXPECT_NE(trace.find(ended, first + 1), std::string::npos) << "the quit ended the second one";
}

// Nor does an upload that keeps coming hold a quit up.
TEST_F(LinkProgram, SignalInTheMiddleOfAnUpload) {
  auto server = StartServer();
  PosixSerialLine handheld;
  ASSERT_EQ(handheld.Open(HandheldEnd()), 0);
  ASSERT_EQ(handheld.SetSpeed(115200), 0);  // the server's, as the cable carries it
  handheld.SendText("&&");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  handheld.SendText("C:\\long.bin");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  std::atomic<bool> sending{true};
  std::thread stream([&] {
    const std::string piece(512, 'u');
    while (sending) {
      handheld.SendBlocks(piece.data(), static_cast<std::uint32_t>(piece.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::this_thread::sleep_for(seconds(1));
  const auto signalled = std::chrono::steady_clock::now();
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0) << server->Err();
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, kPromptQuit);
  sending = false;
  stream.join();
  EXPECT_NE(server->Out().find("(the server was stopped): nothing stored"), std::string::npos)
      << server->Out();
  EXPECT_TRUE(fs::is_empty(desktop_)) << "nothing of it stored, nothing left behind";
}

// Whether `text` could drive a terminal: a control character but the line
// break, a C1 control in UTF-8, or bytes that are not UTF-8.
bool HasRawControls(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if ((byte < 0x20 && byte != '\n') || byte == 0x7F || (byte == 0xC2 && next < 0xA0) ||
        byte == 0xFF || byte == 0xFE) {
      return true;
    }
  }
  return false;
}

// Text from outside the program reaches the terminal only escaped: the name
// of a process that holds the device, a value in the settings, and a name
// in a listing the simulator shows.
TEST_F(LinkProgram, OutsideTextNeverReachesTheTerminalRaw) {
  const std::string hostile = "\x1b[2J\x1b]0;X\x07";
  // A process that names itself so holds the device.
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    prctl(PR_SET_NAME, hostile.c_str(), 0, 0, 0);
    const int fd = open(ServerEnd().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
    pause();
    _exit(0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const Finished held = RunToEnd(ServerArgs(), scratch_.path(), "held", env_);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_NE(held.err.find("held by"), std::string::npos) << held.err;
  EXPECT_FALSE(HasRawControls(held.err + held.out)) << held.err;

  WriteText(SettingsFile(), "[ports]\nLastDevice=/dev/" + hostile + "\xc2\x9b\xff\n");
  const Finished settings = RunToEnd({QL_LINK_PROGRAM, "--settings", SettingsFile().string()},
                                     scratch_.path(), "set", env_);
  EXPECT_NE(settings.err.find("\\x1b[2J"), std::string::npos) << settings.err;
  EXPECT_FALSE(HasRawControls(settings.err + settings.out)) << settings.err;

  // ISO-8859-1 names the byte 0x9B U+009B, a terminal's CSI in C1.
  fs::remove(SettingsFile());
  WriteText(desktop_ /
                "\xc2\x9b"
                "2J.txt",
            "x");
  auto server = StartServer("server", {"--codepage", "ISO-8859-1"});
  const Finished listing = RunToEnd({QL_PEER_PROGRAM, "--port", HandheldEnd(), "--speed", "115200",
                                     "--codepage", "ISO-8859-1", "ls", "C:/*"},
                                    scratch_.path(), "listing", env_);
  EXPECT_NE(listing.out.find("\\u009b2J.txt"), std::string::npos) << listing.out << listing.err;
  EXPECT_FALSE(HasRawControls(listing.out + listing.err)) << listing.out;
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0);
  EXPECT_FALSE(HasRawControls(server->Out())) << server->Out();
}

// The device served last is gone: the sentence says it was remembered.
TEST_F(LinkProgram, TheDeviceServedLastIsGone) {
  WriteText(SettingsFile(), "[ports]\nLastDevice=/dev/ttyNoSuchAdapter\n");
  ExpectOneLineRefusal({QL_LINK_PROGRAM, "--settings", SettingsFile().string()},
                       "the device served last, /dev/ttyNoSuchAdapter, is not present");
}

// A handheld really at 19200 asks for a listing, twice, of a server at
// 115200: the server reads what its UART makes of it, bytes that make no
// command, says once that the handheld is probably at another speed, and
// the trace shows what came.
TEST_F(LinkProgram, AHandheldAtAnotherSpeedIsToldOfOnce) {
  auto server = StartServer("server", {"--trace"});
  PosixSerialLine handheld;
  ASSERT_EQ(handheld.Open(HandheldEnd()), 0);
  ASSERT_EQ(handheld.SetSpeed(19200), 0);
  for (int request = 0; request < 2; ++request) {
    handheld.SendText("@@");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    handheld.SendText("C:\\*");
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
  }
  EXPECT_TRUE(
      server->AwaitOutput("Bytes arrive that make no command: the handheld is probably not at "
                          "115200; try 19200, 38400 or 57600 with --speed.",
                          seconds(5)))
      << server->Out();
  handheld.Close();
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0);
  const std::string out = server->Out();
  EXPECT_EQ(out.find("make no command"), out.rfind("make no command")) << "said once: " << out;
  std::string traced = " bytes";
  for (const char byte : ReceivedAtSpeed("@@", 19200, 115200)) {
    static const char kHex[] = "0123456789abcdef";
    const auto value = static_cast<unsigned char>(byte);
    traced += {' ', kHex[value >> 4], kHex[value & 15]};
  }
  EXPECT_NE(server->Err().find(traced + "\n"), std::string::npos) << traced << server->Err();
  EXPECT_GT(cable_->State(VirtualCable::kServerEnd).framingErrors, 0u);
}

// The handheld's side of an upload that keeps coming until `stop` is set.
class UploadStream {
 public:
  UploadStream(const std::string& device, const std::string& name) {
    EXPECT_EQ(handheld_.Open(device), 0);
    EXPECT_EQ(handheld_.SetSpeed(115200), 0);
    handheld_.SendText("&&");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    handheld_.SendText(name.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    thread_ = std::thread([this] {
      const std::string piece(512, 'u');
      while (!stop_) {
        handheld_.SendBlocks(piece.data(), static_cast<std::uint32_t>(piece.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  ~UploadStream() {
    stop_ = true;
    thread_.join();
  }
  UploadStream(const UploadStream&) = delete;
  UploadStream& operator=(const UploadStream&) = delete;

 private:
  PosixSerialLine handheld_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(LinkProgram, CablePulledInTheMiddleOfAnUploadStoresNothing) {
  WriteText(desktop_ / "kept.txt", "kept");
  auto server = StartServer();
  {
    const UploadStream upload(HandheldEnd(), "C:\\memo.txt");
    std::this_thread::sleep_for(seconds(1));
    cable_->Unplug(VirtualCable::kServerEnd);
    EXPECT_TRUE(server->AwaitOutput("went away", seconds(5))) << server->Out();
  }
  std::string error;
  ASSERT_TRUE(cable_->Replug(VirtualCable::kServerEnd, error)) << error;
  EXPECT_TRUE(server->AwaitOutput(" opened.", seconds(6), 2)) << server->Out();
  const Finished listing = Peer({"ls", "C:/*"});
  EXPECT_EQ(listing.code, 0) << listing.err;
  EXPECT_NE(listing.out.find("kept.txt"), std::string::npos) << listing.out;
  EXPECT_EQ(std::distance(fs::directory_iterator(desktop_), {}), 1)
      << "nothing stored, nothing half-written left";
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0) << server->Err();
  const std::string log = server->Out();
  EXPECT_NE(log.find("upload of C:\\memo.txt cut short after "), std::string::npos) << log;
  EXPECT_NE(log.find("(the line was lost): nothing stored"), std::string::npos) << log;
}

// A small file system of its own, where the tests may mount one.
TEST_F(LinkProgram, UploadIntoAFullDiskIsToldAndLeavesNothing) {
  if (geteuid() != 0 || mount("tmpfs", desktop_.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "mounting a small tmpfs needs root; the full disk is not tried";
  }
  auto server = StartServer();
  WriteText(scratch_.path() / "big.bin", std::string(std::size_t{80} << 10, 'b'));
  const Finished put = Peer({"put", (scratch_.path() / "big.bin").string()});
  server->Signal(SIGTERM);
  EXPECT_EQ(server->Wait(seconds(10)), 0) << server->Err();
  EXPECT_TRUE(fs::is_empty(desktop_)) << "no part of it stays behind";
  umount(desktop_.c_str());
  EXPECT_NE(put.code, 0) << put.out;
  EXPECT_NE(server->Out().find("upload C:\\big.bin not stored: the disk is full"),
            std::string::npos)
      << server->Out();
}

// quarnelix-link's parse of `args`, its errors in `err`.
int ParseLinkArguments(std::vector<std::string> args, CommandLine& options, std::string& err) {
  args.insert(args.begin(), "quarnelix-link");
  std::vector<const char*> argv(args.size());
  std::transform(args.begin(), args.end(), argv.begin(),
                 [](const std::string& a) { return a.c_str(); });
  std::ostringstream out;
  std::ostringstream errors;
  const int code =
      ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options, out, errors);
  err = errors.str();
  return code;
}

// The serial-tool forms of the command line: each row reaches the settings of
// its spelled-out twin.
// Causes that the system's codes alone would tell wrongly, each in its words.
TEST(ActivityLogLines, NameWhatReallyHappened) {
  std::ostringstream out;
  TerminalLines lines(out, -1);
  ActivityLog log(
      lines, 115200, [](const std::string& text) { return text; },
      [](const std::string& path) { return path == "C:\\" ? "/srv/handheld" : ""; });
  using K = LinkActivity::Kind;
  struct Case {
    K kind;
    const char* path;
    Status status;
    std::uint64_t bytes;
    const char* line;
  };
  for (const Case& c : {
           Case{K::kFileChanged, "C:\\grow.bin", kSuccess, 1 << 20,
                "sent 1.0 MB of C:\\grow.bin: the file changed while it was read"},
           Case{K::kFileUnreadable, "C:\\a.txt", ENOENT, 0,
                "C:\\a.txt could not be read: the file is gone; the echo alone was sent"},
           Case{K::kUploadFailed, "C:\\a.txt", kUploadTemporaryRemoved, 0,
                "upload C:\\a.txt not stored: its temporary file was removed at the desktop "
                "before it was whole"},
           Case{K::kListingFailed, "C:\\*", kDriveReplaced, 0,
                "C:\\* could not be searched: C: /srv/handheld was replaced by something else; "
                "not served; the echo alone was sent"},
       }) {
    out.str("");
    LinkActivity activity(c.kind, c.path);
    activity.status = c.status;
    activity.bytes = c.bytes;
    log.Show(activity);
    EXPECT_EQ(out.str().substr(10), std::string(c.line) + "\n");
  }
}

TEST(LinkCommandLine, ShortFormsReachTheSameSettings) {
  const auto parse = [](const std::vector<std::string>& args, CommandLine& options) {
    std::string err;
    EXPECT_EQ(ParseLinkArguments(args, options, err), -1) << err;
  };
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> twins = {
      {{"/dev/X"}, {"--port", "/dev/X"}},
      {{"-p", "/dev/X"}, {"--port", "/dev/X"}},
      {{"-p/dev/X"}, {"--port=/dev/X"}},
      {{"/dev/X", "-b", "57600"}, {"--port", "/dev/X", "--speed", "57600"}},
      {{"--baud", "57600"}, {"--speed", "57600"}},
      {{"-b57600", "-q"}, {"--speed", "57600", "--quiet"}},
      {{"-d", "C=/a", "-d", "D=/b"}, {"--drive", "C=/a", "--drive", "D=/b"}},
      {{"-l"}, {"--list-ports"}},
      {{"-ql"}, {"--quiet", "--list-ports"}},
  };
  for (const auto& [short_, long_] : twins) {
    CommandLine a;
    CommandLine b;
    parse(short_, a);
    parse(long_, b);
    EXPECT_EQ(std::tie(a.port, a.speed, a.drives, a.quiet, a.listPorts),
              std::tie(b.port, b.speed, b.drives, b.quiet, b.listPorts))
        << short_.front();
  }
}

// Every refusal is one sentence of the program's own that names what is
// wrong, with the likely meaning of a near miss; the peer's too.
TEST(LinkCommandLine, HelpFitsEightyColumns) {
  const ScratchFolder scratch;
  for (const std::vector<std::string>& args : {std::vector<std::string>{QL_LINK_PROGRAM, "--help"},
                                               {QL_PEER_PROGRAM, "--help"},
                                               {QL_PEER_PROGRAM, "get", "--help"}}) {
    const Finished run = RunToEnd(args, scratch.path(), "help");
    EXPECT_EQ(run.code, 0);
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_LE(Columns(line), 80u) << args[0] << ": " << line;
    }
  }
}

TEST(LinkCommandLine, MistakesAreOneSentenceNamingTheOption) {
  struct Row {
    bool peer;
    std::vector<std::string> args;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {false,
       {"--sped", "57600"},
       "--sped is not an option of quarnelix-link; did you mean --speed?"},
      {false,
       {"-port", "/dev/X"},
       "-port is not an option of quarnelix-link; did you mean --port?"},
      {false, {"--list"}, "did you mean --list-ports?"},
      {false, {"list-ports"}, "'list-ports' is no device; did you mean --list-ports?"},
      {true, {"list-port", "ls", "C:/*"}, "'list-port' is no device; did you mean --list-ports?"},
      {false, {"--port"}, "--port needs its value (DEVICE)"},
      {false, {"--port", "/dev/X", "--port", "/dev/Y"}, "--port is given twice"},
      {false, {"-b", "57600", "--speed", "57600"}, "-b and --speed are one option, given twice"},
      {false, {"/dev/X", "-p", "/dev/Y"}, "the device is given twice"},
      {false, {"/dev/X", "/dev/Y"}, "'/dev/Y' is one argument too many"},
      {false,
       {"-b", "115000"},
       "-b: speed 115000 is not one of 19200, 38400, 57600, 115200; did "
       "you mean 115200?"},
      {true, {"/dev/X", "lss", "C:/*"}, "'lss' is not a command; did you mean ls?"},
      {true, {"/dev/X"}, "give a command: ls, get or put"},
      {true,
       {"/dev/X", "get", "--forse", "C:/a"},
       "--forse is not an option of get; did you "
       "mean --force?"},
      {true, {"ls", "C:/*"}, "give the device"},
      {true, {"-p", "/dev/X", "-p", "/dev/Y", "ls", "C:/*"}, "-p is given twice"},
  };
  const ScratchFolder scratch;
  for (const Row& row : rows) {
    std::string err;
    int code = 0;
    if (row.peer) {
      std::vector<std::string> args = row.args;
      args.insert(args.begin(), QL_PEER_PROGRAM);
      const Finished run = RunToEnd(args, scratch.path(), "peer");
      err = run.err;
      code = run.code;
    } else {
      CommandLine options;
      code = ParseLinkArguments(row.args, options, err);
    }
    const std::string program = row.peer ? "quarnelix-peer: " : "quarnelix-link: ";
    EXPECT_EQ(code, kExitUsage) << err;
    EXPECT_EQ(err, program + err.substr(program.size(), err.find('\n') - program.size()) + "\n");
    EXPECT_NE(err.find(row.expected), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace ql::testing
