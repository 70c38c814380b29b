#include "fs/posix_file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/name_rules.h"
#if defined(__linux__)
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace ql {
namespace {

namespace stdfs = std::filesystem;
using NameList = std::vector<std::string>;

class PosixFileSystemTest : public ::testing::Test {
 protected:
  PosixFileSystemTest() {
    char temp[] = "/tmp/ql-fs-XXXXXX";
    base_ = mkdtemp(temp);
    drive_ = base_ + "/drive";
    stdfs::create_directories(drive_ + "/sub");
    stdfs::create_directories(base_ + "/outside");
    Put(base_ + "/outside/secret.txt", "secret");
    fs_ = std::make_unique<PosixFileSystem>(DriveTable{{'c', drive_}},
                                            CodePageNamed(kDefaultCodePage));
  }
  ~PosixFileSystemTest() override { stdfs::remove_all(base_); }

  static CodePage CodePageNamed(const char* name) {
    std::string error;
    return std::move(*CodePage::Open(name, error));
  }
  static void Put(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
  }
  std::string Host(const std::string& relative) const { return drive_ + "/" + relative; }

  // The names a search yields, in order; {"<failed>"} when it fails.
  std::vector<std::string> Names(const std::string& pattern) {
    FoundEntries found;
    const std::vector<FindEntry>& entries = found.entries;
    if (fs_->FindFiles(pattern, found) != kSuccess) return {"<failed>"};
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const FindEntry& entry : entries) names.push_back(entry.name);
    return names;
  }
  FindEntry Entry(const std::string& path) {
    FoundEntries found;
    EXPECT_EQ(fs_->FindFiles(path, found), kSuccess) << path;
    return found.entries.empty() ? FindEntry() : found.entries.front();
  }
  std::string ReadAll(const std::string& path) {
    std::unique_ptr<ReadableFile> file;
    if (fs_->OpenForReading(path, file) != kSuccess) return "<no file>";
    std::string contents;
    char buffer[4096];
    std::uint32_t count = 0;
    do {
      file->StartRead(buffer, sizeof buffer);
      if (file->FinishRead(&count) != kSuccess) return "<read error>";
      contents.append(buffer, count);
    } while (count == sizeof buffer);
    return contents;
  }
  Status Opens(const std::string& path) {
    std::unique_ptr<ReadableFile> file;
    return fs_->OpenForReading(path, file);
  }
  // Stores an upload as the server does; the status of the step that failed.
  Status Store(const std::string& path, const std::string& contents) {
    std::unique_ptr<UploadFile> file;
    Status status = fs_->CreateUpload(path, file);
    if (status == kSuccess) status = file->Write(contents.data(), contents.size());
    return status == kSuccess ? file->Commit() : status;
  }

  void CheckLinksInsideAndOut() {
    Put(Host("a.txt"), "top");
    Put(Host("sub/b.txt"), "below");
    symlink("../a.txt", Host("sub/up").c_str());
    symlink("..", Host("sub/root").c_str());
    symlink(Host("sub").c_str(), Host("absolute").c_str());
    symlink("../../outside/secret.txt", Host("sub/escape").c_str());
    symlink("sub/../../outside", Host("escapedir").c_str());
    EXPECT_EQ(ReadAll("C:\\sub\\up"), "top");
    EXPECT_EQ(ReadAll("C:\\sub\\root\\sub\\root\\a.txt"), "top");
    EXPECT_EQ(ReadAll("C:\\absolute\\b.txt"), "below");
    EXPECT_EQ(Names("C:\\absolute\\*"), (NameList{".", "..", "b.txt", "root", "up"}));
    EXPECT_EQ(ReadAll("C:\\sub\\escape"), "<no file>");
    EXPECT_EQ(Names("C:\\escapedir\\*"), NameList{"<failed>"});
  }

  // A server that starts on the drive removes what a crashed one left, never
  // what a live upload writes, nor anything that only looks like a temporary;
  // none is ever listed or served, and nobody can swap one for the upload.
  void CheckTemporaries(std::size_t namedTemporaries) {
    std::unique_ptr<UploadFile> live;
    std::unique_ptr<UploadFile> swapped;
    ASSERT_EQ(fs_->CreateUpload("C:\\live.txt", live), kSuccess);
    ASSERT_EQ(fs_->CreateUpload("C:\\swapped.txt", swapped), kSuccess);
    std::vector<std::string> named;
    for (const auto& entry : stdfs::directory_iterator(drive_)) {
      if (IsUploadTemporaryName(entry.path().filename())) named.push_back(entry.path());
    }
    ASSERT_EQ(named.size(), namedTemporaries);
    const std::string crashed = Host(UploadTemporaryName(1));
    Put(crashed, "left");
    Put(Host(".quarnelix-upload-notatemporary"), "mine");
    EXPECT_EQ(Names("C:\\*"), (NameList{".quarnelix-upload-notatemporary", "sub"}));
    EXPECT_EQ(ReadAll("C:\\" + UploadTemporaryName(1)), "<no file>") << "never served";
    const PosixFileSystem next(DriveTable{{'C', drive_}}, CodePageNamed(kDefaultCodePage));
    EXPECT_FALSE(stdfs::exists(crashed));
    EXPECT_TRUE(stdfs::exists(Host(".quarnelix-upload-notatemporary")));
    for (const std::string& path : named) EXPECT_TRUE(stdfs::exists(path)) << "a live one";
    ASSERT_EQ(live->Write("whole", 5), kSuccess);
    EXPECT_EQ(live->Commit(), kSuccess);
    EXPECT_EQ(ReadAll("C:\\live.txt"), "whole");
    // Someone who may write the folder puts their own file in a temporary's place.
    if (named.size() == 2) {
      stdfs::remove(named[1]);
      Put(named[1], "theirs");
    }
    ASSERT_EQ(swapped->Write("mine", 4), kSuccess);
    const Status swap = swapped->Commit();
    EXPECT_TRUE(swap == kSuccess
                    ? ReadAll("C:\\swapped.txt") == "mine"
                    : swap == kUploadTemporaryRemoved && !stdfs::exists(Host("swapped.txt")));
  }

#if defined(__linux__)
  // Another user swaps a folder in the drive with a link to outside, over and
  // over, while the handheld lists and downloads.
  void ServeWhileSwapping(std::chrono::milliseconds duration) {
    Put(base_ + "/outside/marker.txt", "OUTSIDE");
    stdfs::create_directories(Host("swap"));
    Put(Host("swap/marker.txt"), "inside");
    ASSERT_EQ(symlink((base_ + "/outside").c_str(), Host("link").c_str()), 0);
    const auto swap = [this] {
      return renameat2(AT_FDCWD, Host("swap").c_str(), AT_FDCWD, Host("link").c_str(),
                       RENAME_EXCHANGE) == 0;
    };
    if (!swap()) GTEST_SKIP() << "no RENAME_EXCHANGE here";
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
      while (!stop) swap();
    });
    int insideReads = 0;
    int insideListings = 0;
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end && !HasFailure()) {
      for (const char* folder : {"C:\\swap\\", "C:\\link\\"}) {
        const std::string contents = ReadAll(std::string(folder) + "marker.txt");
        EXPECT_NE(contents, "OUTSIDE");
        insideReads += contents == "inside";
        const NameList names = Names(std::string(folder) + "*");
        EXPECT_EQ(std::count(names.begin(), names.end(), "secret.txt"), 0);
        insideListings += names.size() == 3;
      }
    }
    stop = true;
    swapper.join();
    EXPECT_GT(insideReads, 0);
    EXPECT_GT(insideListings, 0);
  }
#endif

  std::string base_;
  std::string drive_;
  std::unique_ptr<PosixFileSystem> fs_;
};

TEST_F(PosixFileSystemTest, WildcardsCaseAndOrder) {
  for (const char* name : {"a.txt", "B.TXT", "readme", "notes.txt.bak", "ab.c"})
    Put(Host(name), name);
  const NameList all{"a.txt", "ab.c", "B.TXT", "notes.txt.bak", "readme", "sub"};
  EXPECT_EQ(Names("C:\\*"), all);
  EXPECT_EQ(Names("c:\\*.*"), all);
  EXPECT_EQ(Names("C:\\*.TXT"), (NameList{"a.txt", "B.TXT"}));
  EXPECT_EQ(Names("C:\\?.txt"), (NameList{"a.txt", "B.TXT"}));
  EXPECT_EQ(Names("C:\\README"), NameList{"readme"});
  EXPECT_EQ(Names("C:\\*.q"), NameList{"<failed>"});
  EXPECT_EQ(Names("C:\\"), NameList{"<failed>"});
  EXPECT_EQ(Names("C:\\sub\\"), NameList{"<failed>"});
}

TEST_F(PosixFileSystemTest, FoldersDotEntriesAndClamping) {
  stdfs::create_directories(Host("My Documents/Deep"));
  Put(Host("My Documents/Deep/x.txt"), "deep");
  Put(Host("a.txt"), "top");
  EXPECT_EQ(Names("C:\\MY DOCUMENTS\\deep\\*"), (NameList{".", "..", "x.txt"}));
  EXPECT_EQ(Names("C:\\My Documents\\*.txt"), NameList{"<failed>"});
  EXPECT_EQ(Names("C:\\My Documents\\*.*"), (NameList{".", "..", "Deep"}));
  EXPECT_EQ(Entry("C:\\sub\\*").attributes, kAttributeDirectory);
  EXPECT_EQ(ReadAll("C:\\my documents\\DEEP\\X.TXT"), "deep");
  // ".." stops at the drive's root, as it does on Windows.
  EXPECT_EQ(ReadAll("C:\\..\\..\\a.txt"), "top");
  EXPECT_EQ(Names("C:\\sub\\..\\..\\*.txt"), NameList{"a.txt"});
  EXPECT_EQ(ReadAll("C:\\..\\outside\\secret.txt"), "<no file>");
  // A zero byte would end the name for the system: "..\0x" is ".." there.
  const std::string up = std::string("..\0x", 4) + "\\outside\\";
  EXPECT_EQ(Names("C:" + up + "*"), NameList{"<failed>"});
  EXPECT_EQ(ReadAll("C:\\" + up + "secret.txt"), "<no file>");
  // Letters without a folder, and paths without a drive.
  EXPECT_EQ(Names("D:\\*"), NameList{"<failed>"});
  EXPECT_EQ(Names("\\a.txt"), NameList{"<failed>"});
  EXPECT_EQ(Opens("D:\\a.txt"), ENOENT);
}

TEST_F(PosixFileSystemTest, AttributesTimesAndSizes) {
  Put(Host("plain"), std::string(3000, 'x'));
  Put(Host("locked"), "");
  chmod(Host("locked").c_str(), 0444);
  Put(Host(".hidden"), "");
  EXPECT_EQ(truncate(Host("plain").c_str(), 5LL << 30), 0);  // sparse, beyond 32 bits

  EXPECT_EQ(Entry("C:\\plain").attributes, kAttributeArchive);
  EXPECT_EQ(Entry("C:\\plain").size, 5ULL << 30);
  EXPECT_EQ(Entry("C:\\sub").attributes, kAttributeDirectory);
  EXPECT_EQ(Entry("C:\\sub").size, 0u);
  EXPECT_EQ(Entry("C:\\locked").attributes, kAttributeArchive | kAttributeReadOnly);
  EXPECT_EQ(Entry("C:\\.hidden").attributes, kAttributeArchive | kAttributeHidden);

  const timespec times[2] = {{1000000000, 500}, {1234567890, 123456700}};
  ASSERT_EQ(utimensat(AT_FDCWD, Host("plain").c_str(), times, 0), 0);
  const FindEntry plain = Entry("C:\\plain");
  EXPECT_EQ(plain.lastAccessTime, 1000000000ULL * 10000000 + 116444736000000000ULL + 5);
  EXPECT_EQ(plain.lastWriteTime, 1234567890ULL * 10000000 + 116444736000000000ULL + 1234567);
  // Created (or changed) moments ago.
  const std::uint64_t now =
      static_cast<std::uint64_t>(std::time(nullptr)) * 10000000 + 116444736000000000ULL;
  EXPECT_LT(now - std::min(now, plain.creationTime), 3600ULL * 10000000);
}

TEST_F(PosixFileSystemTest, NamesTravelInTheCodePage) {
  Put(Host("caf\u00e9.txt"), "coffee");
  Put(Host("\u20acuro"), "");
  Put(Host("\u0436"), "");     // no spelling in 1252: not listed, and no "?" stands for it
  Put(Host("a\u0081"), "81");  // 1252's undefined bytes are characters of their own
  Put(Host("a\u008d"), "8d");
  EXPECT_EQ(Names("C:\\*"), (NameList{"a\x81", "a\x8D", "caf\xE9.txt", "sub", "\x80uro"}));
  EXPECT_EQ(ReadAll("C:\\CAF\xC9.TXT"), "coffee");
  EXPECT_EQ(ReadAll("C:\\?"), "<no file>");
  EXPECT_EQ(ReadAll("C:\\a\x8D"), "8d");

  EXPECT_EQ(Store("C:\\sub\\na\xEFve.txt", "n"), kSuccess);
  EXPECT_TRUE(stdfs::exists(Host("sub/na\u00efve.txt")));
}

TEST_F(PosixFileSystemTest, RefusesLongPathsSpecialFilesAndEscapingLinks) {
  const std::string longName = "C:\\" + std::string(257, 'x');
  FoundEntries found;
  EXPECT_NE(fs_->FindFiles(longName, found), kSuccess);
  EXPECT_NE(Opens(longName), kSuccess);
  EXPECT_NE(Store(longName, "x"), kSuccess);

  ASSERT_EQ(mkfifo(Host("pipe").c_str(), 0644), 0);
  symlink("/dev/zero", Host("zero").c_str());
  symlink((base_ + "/outside/secret.txt").c_str(), Host("out").c_str());
  symlink((base_ + "/outside").c_str(), Host("outdir").c_str());
  Put(Host("a.txt"), "inside");
  symlink(Host("a.txt").c_str(), Host("in").c_str());
  EXPECT_EQ(Names("C:\\*"), (NameList{"a.txt", "in", "sub"}));
  EXPECT_EQ(ReadAll("C:\\in"), "inside");
  for (const char* path :
       {"C:\\pipe", "C:\\zero", "C:\\out", "C:\\outdir\\secret.txt", "C:\\sub"}) {
    EXPECT_NE(Opens(path), kSuccess) << path;
  }
  EXPECT_EQ(Names("C:\\outdir\\*"), NameList{"<failed>"});
  EXPECT_EQ(Store("C:\\outdir\\new.txt", "x"), ENOENT);
  EXPECT_FALSE(stdfs::exists(base_ + "/outside/new.txt"));
}

TEST_F(PosixFileSystemTest, UploadsAppearWholeAndNeverReplaceAFile) {
  Put(Host("a.txt"), "old");
  EXPECT_EQ(Store("C:\\a.txt", "new"), EEXIST);
  EXPECT_EQ(Store("C:\\A.TXT", "new"), EEXIST);  // the same file for the handheld
  EXPECT_EQ(Store("C:\\missing\\b.txt", "new"), ENOENT);
  EXPECT_EQ(ReadAll("C:\\a.txt"), "old");
  EXPECT_FALSE(fs_->UploadNameProblem(".profile").empty());
  EXPECT_NE(Store("C:\\.profile", "x"), kSuccess);  // read by login shells
  EXPECT_FALSE(stdfs::exists(Host(".profile")));

  // While it arrives, the upload is a hidden file that no listing shows.
  std::unique_ptr<UploadFile> file;
  ASSERT_EQ(fs_->CreateUpload("C:\\sub\\b.txt", file), kSuccess);
  EXPECT_GE(file->TraceId(), 0);
  EXPECT_EQ(file->Write("new", 3), kSuccess);
  EXPECT_EQ(Names("C:\\sub\\*"), (NameList{".", ".."}));
  EXPECT_FALSE(stdfs::exists(Host("sub/b.txt")));
  Put(Host("sub/B.TXT"), "raced");  // made meanwhile: the name's existence is decided at the end
  EXPECT_EQ(file->Commit(), EEXIST);
  file.reset();
  EXPECT_EQ(ReadAll("C:\\sub\\b.txt"), "raced");
  EXPECT_EQ(std::distance(stdfs::directory_iterator(Host("sub")), {}), 1) << "nothing left over";

  ASSERT_EQ(fs_->CreateUpload("C:\\sub\\c.txt", file), kSuccess);
  EXPECT_EQ(file->Write("whole", 5), kSuccess);
  file.reset();  // dropped before it was whole: nothing stays
  EXPECT_EQ(std::distance(stdfs::directory_iterator(Host("sub")), {}), 1);
  EXPECT_EQ(Store("C:\\sub\\c.txt", "whole"), kSuccess);
  EXPECT_EQ(ReadAll("C:\\SUB\\C.txt"), "whole");

  if (geteuid() != 0) {  // root writes anywhere
    chmod(Host("sub").c_str(), 0555);
    EXPECT_EQ(Store("C:\\sub\\d.txt", "x"), EACCES);
    chmod(Host("sub").c_str(), 0755);
  }
}

TEST_F(PosixFileSystemTest, TemporariesLeftByACrashAreRemovedLiveOnesKept) {
#if defined(__linux__)
  CheckTemporaries(0);  // files of no name
#else
  CheckTemporaries(2);
#endif
}

#if defined(__linux__)
// Puts this process (a test's child) under a system-call filter.
template <std::size_t kLength>
bool Install(sock_filter (&filter)[kLength]) {
  sock_fprog program{static_cast<unsigned short>(kLength), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Where the system keeps no file of no name, uploads use named temporaries.
bool RefuseAnonymousFiles() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  return Install(filter);
}

TEST_F(PosixFileSystemTest, TheSameWithNamedTemporaries) {
  if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) != 0) GTEST_SKIP() << "no seccomp here";
  EXPECT_EXIT(
      {
        if (!RefuseAnonymousFiles()) std::exit(2);
        CheckTemporaries(2);
        std::exit(HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}
#endif

TEST_F(PosixFileSystemTest, ADriveFolderRemovedAndMadeAgainIsServedAgain) {
  stdfs::remove_all(drive_);
  EXPECT_EQ(Store("C:\\a.txt", "x"), ENOENT) << "the folder is gone";
  stdfs::create_directory(drive_);
  EXPECT_EQ(Store("C:\\a.txt", "back"), kSuccess);
  EXPECT_EQ(ReadAll("C:\\a.txt"), "back");
  if (geteuid() == 0) {  // only root can make a folder for another user
    stdfs::remove_all(drive_);
    stdfs::create_directory(drive_);
    ASSERT_EQ(chown(drive_.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Store("C:\\b.txt", "x"), kDriveReplaced) << "another user's folder";
    EXPECT_FALSE(stdfs::exists(Host("b.txt")));
  }
}

TEST_F(PosixFileSystemTest, ServesOnlyTheFoldersItCouldOpen) {
  const PosixFileSystem fs({{'c', drive_}, {'D', base_ + "/missing"}}, CodePageNamed("CP1252"));
  EXPECT_EQ(fs.Drives(), (DriveTable{{'C', drive_}}));
  PosixFileSystem none({}, CodePageNamed("CP1252"));
  EXPECT_TRUE(none.Drives().empty());
  FoundEntries found;
  EXPECT_EQ(none.FindFiles("C:\\*", found), ENOENT);
}

TEST_F(PosixFileSystemTest, LinksInsideWorkAndTheDriveStaysWhereItWas) {
  CheckLinksInsideAndOut();
  // The drive's folder moved away and a link to outside put in its place.
  ASSERT_EQ(rename(drive_.c_str(), (base_ + "/moved").c_str()), 0);
  ASSERT_EQ(symlink((base_ + "/outside").c_str(), drive_.c_str()), 0);
  EXPECT_EQ(Names("C:\\*"), (NameList{"a.txt", "absolute", "sub"}));
  EXPECT_EQ(ReadAll("C:\\secret.txt"), "<no file>");
  EXPECT_EQ(Store("C:\\new.txt", "x"), kSuccess);
  EXPECT_TRUE(stdfs::exists(base_ + "/moved/new.txt"));
  EXPECT_FALSE(stdfs::exists(base_ + "/outside/new.txt"));
}

TEST_F(PosixFileSystemTest, LinksAnotherUserPlantedAreNotFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a link to another user";
  Put(Host("sub/b.txt"), "below");
  symlink("sub", Host("planted").c_str());
  ASSERT_EQ(lchown(Host("planted").c_str(), 65534, 65534), 0);
  EXPECT_EQ(ReadAll("C:\\planted\\b.txt"), "<no file>");
  EXPECT_EQ(Names("C:\\p*"), NameList{"<failed>"}) << "not listed either";
}

#if defined(__linux__)
TEST_F(PosixFileSystemTest, NothingFromOutsideWhileEntriesAreSwapped) {
  ServeWhileSwapping(std::chrono::milliseconds(1500));
}

// Makes openat2 fail as it does on old kernels and in strict sandboxes.
bool RefuseOpenat2() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  return Install(filter);
}

TEST_F(PosixFileSystemTest, TheSameWalkingOneComponentAtATime) {
  if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) != 0) GTEST_SKIP() << "no seccomp here";
  EXPECT_EXIT(
      {
        if (!RefuseOpenat2()) std::exit(2);
        CheckLinksInsideAndOut();
        ServeWhileSwapping(std::chrono::milliseconds(1500));
        std::exit(HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}
#endif

TEST_F(PosixFileSystemTest, ListsOnlyNamesTheHandheldCanAskFor) {
  Put(Host("a\\b.txt"), "");
  Put(Host("\u8868.txt"), "");  // 0x95 0x5C in Shift-JIS
  Put(Host("\u65e5.txt"), "");  // 0x93 0xFA
  Put(Host("x.txt"), "");
  Put(Host(std::string(249, 'l') + "\u00e9.txt"), "");
  FoundEntries western;
  ASSERT_EQ(fs_->FindFiles("C:\\*.txt", western), kSuccess);
  ASSERT_EQ(western.entries.size(), 2u) << "neither a backslash nor a name 1252 cannot write";
  EXPECT_EQ(western.entries[0].name, std::string(249, 'l') + "\xE9.txt");
  EXPECT_EQ(western.leftOut, 3u);
  PosixFileSystem japanese({{'C', drive_}}, CodePageNamed("CP932"));
  FoundEntries found;
  ASSERT_EQ(japanese.FindFiles("C:\\*.txt", found), kSuccess);
  NameList names;
  for (const FindEntry& entry : found.entries) names.push_back(entry.name);
  EXPECT_EQ(names, (NameList{"x.txt", "\x93\xFA.txt", "\x95\x5C.txt"}));
  EXPECT_EQ(found.leftOut, 2u) << "the backslash, and \u00e9, which 932 cannot write";
}

}  // namespace
}  // namespace ql
