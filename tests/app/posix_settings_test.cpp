// The terminal program's settings file: the INI reader and writer, and the
// options, ports and drives read from it and written back.
#include "app/posix/posix_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "app/posix/ini_file.h"
#include "tests/tools/child_process.h"

namespace ql::testing {
namespace {

TEST(IniFile, ReadsAsWindowsDoesAndKeepsWhatItDoesNotTouch) {
  IniFile file;
  file.Parse(
      "; comment\r\n[Options]\r\n  lastport = 2 \r\nQuoted=\"x y\"\r\n\r\n[other]\r\nk=v\r\n");
  EXPECT_EQ(file.Get("options", "LastPort").value_or("-"), "2");
  EXPECT_EQ(file.Get("OPTIONS", "quoted").value_or("-"), "x y");
  EXPECT_FALSE(file.Get("other", "LastPort").has_value());

  file.Set("options", "LastPort", "3");  // in place
  file.Set("options", "Auto", "1");      // after the section's last key, before the blank line
  file.Set("new", "a", "b");             // a new section at the end
  EXPECT_EQ(
      file.Text(),
      "; comment\n[Options]\nlastport=3\nQuoted=\"x y\"\nAuto=1\n\n[other]\nk=v\n\n[new]\na=b\n");
  file.Remove("options", "quoted");
  EXPECT_FALSE(file.Get("options", "Quoted").has_value());
}

TEST(IniFile, SavesWholeFilesAndReportsUnreadableOnes) {
  ScratchFolder scratch;
  const fs::path path = scratch.path() / "deeper" / "Quarnelix_link.ini";
  std::string error;
  IniFile file;
  EXPECT_TRUE(file.Load(path.string(), error)) << "a missing file reads as empty";
  file.Set("options", "Hide", "1");
  ASSERT_TRUE(file.Save(path.string(), error)) << error;
  EXPECT_EQ(ReadText(path), "[options]\nHide=1\n");
  EXPECT_EQ(fs::directory_iterator(path.parent_path())->path(), path) << "no temporary left";
  EXPECT_FALSE(file.Load(scratch.path().string(), error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(IniFile::CanSave(path.string(), error)) << error;
  EXPECT_EQ(fs::directory_iterator(path.parent_path())->path(), path) << "the test left nothing";
  EXPECT_FALSE(IniFile::CanSave((path / "under-a-file.ini").string(), error));
}

// A save replaces the file in one step: never through a link left beside it, keeping a link the
// user made, alongside other saves, and leaving the old file whole when it fails.
TEST(IniFile, ReplacesTheFileWholeAndOnlyWhereItShould) {
  ScratchFolder scratch;
  const fs::path folder = scratch.path() / "settings";
  const fs::path path = folder / "Quarnelix_link.ini";
  const fs::path elsewhere = scratch.path() / "elsewhere.ini";
  fs::create_directories(folder);
  WriteText(elsewhere, "kept\n");
  fs::create_symlink(elsewhere, path.string() + ".new");
  IniFile file;
  file.Set("options", "Hide", "1");
  std::string error;
  ASSERT_TRUE(file.Save(path.string(), error)) << error;
  EXPECT_EQ(ReadText(elsewhere), "kept\n") << "written through a planted link";
  EXPECT_EQ(ReadText(path), file.Text());

  fs::remove(path.string() + ".new");
  fs::remove(path);
  fs::create_symlink("../elsewhere.ini", path);
  std::atomic<int> saved{0};
  std::vector<std::thread> savers;
  savers.reserve(8);
  for (int i = 0; i < 8; ++i) {
    savers.emplace_back([&] {
      std::string failure;
      saved += file.Save(path.string(), failure) ? 1 : 0;
    });
  }
  for (std::thread& saver : savers) saver.join();
  EXPECT_EQ(saved, 8);
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_EQ(ReadText(elsewhere), file.Text());

  WriteText(elsewhere, "old\n");
  if (geteuid() == 0) {  // root writes any folder; a link another user left is what it must shun
    ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0);
  } else {
    fs::permissions(scratch.path(), fs::perms::owner_read | fs::perms::owner_exec);
  }
  EXPECT_FALSE(IniFile::CanSave(path.string(), error));
  EXPECT_FALSE(file.Save(path.string(), error));
  EXPECT_FALSE(error.empty());
  fs::permissions(scratch.path(), fs::perms::owner_all);
  EXPECT_EQ(ReadText(elsewhere), "old\n");
  for (const fs::path& place : {scratch.path(), folder}) {
    EXPECT_EQ(std::distance(fs::directory_iterator(place), fs::directory_iterator()),
              place == folder ? 1 : 2)
        << "a temporary left in " << place;
  }
}

// Root never reads nor writes settings where another user could point it: a
// link or folder of theirs one or two levels up, a folder others may write
// without the sticky bit, or a file of theirs.
TEST(IniFile, OnlyAPathNobodyElseControls) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give links and folders to another user";
  ScratchFolder scratch;
  const fs::path& root = scratch.path();
  fs::create_directories(root / "private");
  fs::create_directories(root / "theirs");
  ASSERT_EQ(chown((root / "theirs").c_str(), 65534, 65534), 0);
  fs::create_directories(root / "open");
  fs::permissions(root / "open", fs::perms::all);
  fs::create_directories(root / "sticky");
  fs::permissions(root / "sticky", fs::perms::all | fs::perms::sticky_bit);
  fs::create_symlink(root / "private", root / "planted");
  ASSERT_EQ(lchown((root / "planted").c_str(), 65534, 65534), 0);
  fs::create_directories(root / "up");
  fs::create_symlink(root / "private", root / "up" / "planted");
  ASSERT_EQ(lchown((root / "up" / "planted").c_str(), 65534, 65534), 0);
  fs::create_symlink(root / "private", root / "mine");
  WriteText(root / "private" / "theirs.ini", "[drives]\nC=/\n");
  WriteText(root / "private" / "open.ini", "[drives]\nC=/\n");
  fs::permissions(root / "private" / "open.ini", fs::perms::all & ~fs::perms::owner_exec &
                                                     ~fs::perms::group_exec &
                                                     ~fs::perms::others_exec);
  fs::create_directories(root / "shared");
  ASSERT_EQ(chown((root / "shared").c_str(), 0, 100), 0);  // group "users"
  fs::permissions(root / "shared", fs::perms::owner_all | fs::perms::group_all);
  ASSERT_EQ(chown((root / "private" / "theirs.ini").c_str(), 65534, 65534), 0);
  struct Case {
    const char* path;
    const char* problem;  // empty: trusted
  };
  for (const Case& c : {
           Case{"planted/x.ini", "the link"}, Case{"up/planted/x.ini", "the link"},
           Case{"theirs/x.ini", "the folder"}, Case{"open/x.ini", "no sticky bit"},
           Case{"private/theirs.ini", "the file"},
           Case{"private/open.ini", "may be written by other users"},
           Case{"shared/x.ini",
                "no sticky bit"},   // writable by a group others are in Case{"sticky/x.ini", ""},
           Case{"mine/x.ini", ""},  // a link of this user's is followed
       }) {
    const std::string path = (root / c.path).string();
    IniFile file;
    std::string loaded;
    std::string saved;
    file.Load(path, loaded);
    file.Set("options", "Hide", "1");
    const bool wrote = file.Save(path, saved);
    EXPECT_EQ(wrote, *c.problem == '\0') << path << ": " << saved;
    EXPECT_NE((loaded + saved).find(c.problem), std::string::npos) << path;
  }
  EXPECT_EQ(ReadText(root / "private" / "theirs.ini"), "[drives]\nC=/\n");
  EXPECT_TRUE(fs::exists(root / "private" / "x.ini")) << "saved through this user's own link";
}

TEST(IniFile, ReadsOnlyARegularFileOfSensibleSize) {
  ScratchFolder scratch;
  const fs::path fifo = scratch.path() / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const fs::path huge = scratch.path() / "huge.ini";
  WriteText(huge, "[options]\n" + std::string(2u << 20, ';'));
  IniFile file;
  for (const fs::path& path : {fifo, huge, fs::path("/dev/zero")}) {
    std::string error;  // a reader that blocks on the pipe or reads /dev/zero on never returns
    EXPECT_FALSE(file.Load(path.string(), error)) << path;
    EXPECT_FALSE(error.empty()) << path;
  }
}

TEST(PosixSettings, ReadsOptionsPortsAndDrivesAndWritesTheKeysInOrder) {
  ScratchFolder scratch;
  fs::create_directories(scratch.path() / "d");
  IniFile file;
  file.Parse(
      "[options]\nStartStop=1\nLastSpeed=  -2x\nHotkeyShowHide=123456789\n"
      "[ports]\nCOM3=/dev/ttyUSB0\n[drives]\nd=" +
      (scratch.path() / "d").string() + "\n");
  PosixSettings settings;
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(ReadSettings(file, settings, warnings, error)) << error;
  EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(settings.options.lastSpeed, -2);
  EXPECT_EQ(settings.options.startStop, 1);
  EXPECT_EQ(settings.options.hotkeyShowHide, 1234567);  // an 8-character buffer's worth
  EXPECT_EQ(settings.options.lastPort, 0);
  EXPECT_EQ(settings.ports[0], "/dev/ttyS0");
  EXPECT_EQ(settings.ports[2], "/dev/ttyUSB0");
  EXPECT_EQ(settings.drives.at('D'), fs::canonical(scratch.path() / "d").string());

  WriteSettings(file, settings);
  const std::string options =
      "[options]\nLastPort=0\nLastSpeed=-2\nAuto=0\nHide=0\nShowHide=0\nStartStop=1\n"
      "HotkeyShowHide=1234567\nHotkeyStartStop=0\n[ports]\nCOM1=/dev/ttyS0\nCOM2=/dev/ttyS1\nCOM3=/"
      "dev/ttyUSB0\n";
  EXPECT_EQ(file.Text().substr(0, options.size()), options);

  file.Parse("[drives]\nCD=/tmp\n");
  EXPECT_FALSE(ReadSettings(file, settings, warnings, error));
  EXPECT_NE(error.find("[drives]"), std::string::npos) << error;

  // An unplugged stick: its drive is left out, the others stay.
  file.Parse("[drives]\nE=" + (scratch.path() / "gone").string() + "\nF=~\n");
  settings.drives.clear();
  ASSERT_TRUE(ReadSettings(file, settings, warnings, error)) << error;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("that drive is left out"), std::string::npos) << warnings[0];
  EXPECT_EQ(settings.drives.count('E'), 0u);
  EXPECT_EQ(settings.drives.at('F'), fs::canonical(HomeFolder()).string());
}

// The next run without --port serves what this one served, whatever its name.
TEST(PosixSettings, RemembersTheDeviceServed) {
  IniFile file;
  file.Parse("[options]\nLastPort=2\n[ports]\nCOM2=/dev/ttyUSB0\n");
  PosixSettings settings;
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(ReadSettings(file, settings, warnings, error)) << error;
  EXPECT_EQ(RememberedDevice(settings), "/dev/ttyS2");
  const auto servedAfterSaving = [&](const std::string& given) {
    RememberDevice(settings, given);
    WriteSettings(file, settings);
    PosixSettings next;
    EXPECT_TRUE(ReadSettings(file, next, warnings, error)) << error;
    return RememberedDevice(next);
  };
  EXPECT_EQ(servedAfterSaving("/dev/serial/by-id/usb-X"), "/dev/serial/by-id/usb-X");
  EXPECT_EQ(settings.options.lastPort, 2) << "still a COM port, as on Windows";
  EXPECT_NE(file.Text().find("COM4=/dev/ttyS3\nLastDevice=/dev/serial/by-id/usb-X\n"),
            std::string::npos)
      << file.Text();
  EXPECT_EQ(servedAfterSaving("/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(settings.options.lastPort, 1);
  EXPECT_EQ(file.Text().find("LastDevice"), std::string::npos) << file.Text();

  settings.options.lastPort = 4;
  EXPECT_EQ(RememberedDevice(settings), "");
  PosixSettings fresh;
  EXPECT_EQ(RememberedDevice(fresh), "") << "no settings yet: no COM port is remembered";
}

TEST(PosixSettings, DriveAssignments) {
  ScratchFolder scratch;
  DriveTable drives;
  std::string error;
  EXPECT_TRUE(AddDrive("e:=" + scratch.path().string(), drives, error)) << error;
  EXPECT_EQ(drives.at('E'), fs::canonical(scratch.path()).string());
  EXPECT_FALSE(AddDrive("E", drives, error));
  EXPECT_FALSE(AddDrive("1=/tmp", drives, error));
  EXPECT_FALSE(AddDrive("F=" + (scratch.path() / "missing").string(), drives, error));
  WriteText(scratch.path() / "file", "x");
  EXPECT_FALSE(AddDrive("F=" + (scratch.path() / "file").string(), drives, error));
  EXPECT_EQ(drives.size(), 1u);
}

}  // namespace
}  // namespace ql::testing
