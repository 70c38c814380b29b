// The server on a real folder, fed what a broken or hostile handheld might
// send. Whatever comes, nothing is written outside the upload folder, no
// existing file changes, and the next ordinary request is answered.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "fs/posix_file_system.h"
#include "tests/link/link_fakes.h"

namespace ql::testing {
namespace {

namespace stdfs = std::filesystem;

std::string ReadAll(const stdfs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void WriteAll(const stdfs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

// Lets a test change a file between the search and the read.
class RacingFileSystem final : public FileSystem {
 public:
  explicit RacingFileSystem(FileSystem& inner) : inner_(inner) {}
  Status FindFiles(const std::string& pattern, FoundEntries& found) override {
    const Status searched = inner_.FindFiles(pattern, found);
    if (afterSearch) afterSearch();
    return searched;
  }
  Status OpenForReading(const std::string& path, std::unique_ptr<ReadableFile>& file) override {
    return inner_.OpenForReading(path, file);
  }
  Status CreateUpload(const std::string& path, std::unique_ptr<UploadFile>& file) override {
    return inner_.CreateUpload(path, file);
  }

  std::function<void()> afterSearch;

 private:
  FileSystem& inner_;
};

class HostileInput : public ::testing::Test {
 protected:
  HostileInput() {
    char base[] = "/tmp/ql-hostile-XXXXXX";
    root_ = mkdtemp(base);
    stdfs::create_directories(Drive() / "docs");
    stdfs::create_directories(root_ / "outside");
    WriteAll(Drive() / "keep.txt", "original");
    WriteAll(Drive() / "docs" / "report.txt", "report");
    WriteAll(root_ / "outside" / "secret", "secret");
    stdfs::create_symlink(root_ / "outside" / "secret", Drive() / "link-out");
    mkfifo((Drive() / "pipe").c_str(), 0600);
    std::string error;
    files_ = std::make_unique<PosixFileSystem>(DriveTable{{'C', Drive().string()}},
                                               *CodePage::Open("WINDOWS-1252", error));
    racing_ = std::make_unique<RacingFileSystem>(*files_);
    link_ = std::make_unique<LinkHarness>(racing_.get());
  }
  ~HostileInput() override { stdfs::remove_all(root_); }

  stdfs::path Drive() const { return root_ / "drive"; }

  // The tree outside the upload folder is as it was, and the server still lists.
  void ExpectUnharmedAndServing() {
    EXPECT_EQ(ReadAll(Drive() / "keep.txt"), "original");
    EXPECT_EQ(ReadAll(root_ / "outside" / "secret"), "secret");
    EXPECT_EQ(std::distance(stdfs::directory_iterator(root_), {}), 2) << "only drive and outside";
    EXPECT_EQ(std::distance(stdfs::directory_iterator(root_ / "outside"), {}), 1);
    link_->port.writes.clear();
    link_->Request("@@", "C:\\docs\\*.txt");
    const std::string sent = link_->port.Sent();
    ASSERT_EQ(sent.size(), 2u + 1 + 296) << "echo and one record";
    EXPECT_STREQ(sent.c_str() + 3 + 36, "report.txt");
  }

  std::string Download(const std::string& path) {
    link_->port.writes.clear();
    link_->Request("@&", path);
    return link_->port.Sent();
  }

  stdfs::path root_;
  std::unique_ptr<PosixFileSystem> files_;
  std::unique_ptr<RacingFileSystem> racing_;
  std::unique_ptr<LinkHarness> link_;
};

TEST_F(HostileInput, UploadNamesCannotLeaveTheFolderOrNameADevice) {
  for (const std::string& name :
       {std::string(".."), std::string("C:x"), std::string("x:stream"), std::string("CON"),
        std::string("nul.txt"), std::string("COM1"), std::string("dot."), std::string("space "),
        std::string(300, 'n'), std::string("bell\a"), std::string(""), std::string("keep.txt"),
        std::string("KEEP.TXT")}) {
    link_->Request("&&", "\\up\\" + name);
    link_->Send("payload");
  }
  EXPECT_EQ(std::distance(stdfs::directory_iterator(Drive()), {}), 4) << "nothing new";
  link_->Request("&&", "a/../../x");  // only the last component counts
  link_->Send("stays inside");
  EXPECT_EQ(ReadAll(Drive() / "x"), "stays inside");
  ExpectUnharmedAndServing();
}

TEST_F(HostileInput, DownloadsOfWhatIsNotAPlainFileInTheDrive) {
  EXPECT_EQ(Download("C:\\..\\..\\outside\\secret"), "") << "'..' stops at the drive root";
  EXPECT_EQ(Download("C:\\link-out"), "") << "a link out of the drive is not followed";
  EXPECT_EQ(Download("Q:\\keep.txt"), "") << "unmapped drive";
  EXPECT_EQ(Download("C:\\" + std::string(300, 'k')), "");
  EXPECT_EQ(Download("C:\\docs"), "@&") << "a folder is found but not read";
  EXPECT_EQ(Download("C:\\pipe"), "") << "special files are not offered, let alone read";
  EXPECT_EQ(Download("C:\\..\\keep.txt"), "@&original");
  ExpectUnharmedAndServing();
}

TEST_F(HostileInput, ListingsOutsideTheDrive) {
  link_->port.writes.clear();
  link_->Request("@@", "Q:\\*");
  link_->Send("C:\\" + std::string(300, 'p') + "\\*");
  link_->Send("C:\\..\\..\\..\\*");
  const std::string sent = link_->port.Sent();
  EXPECT_EQ(sent.substr(0, 6), "@@@@@@") << "two failed searches, then the drive root";
  EXPECT_EQ(sent.find("secret"), std::string::npos);
  ExpectUnharmedAndServing();
}

TEST_F(HostileInput, OverlongMessageIsDroppedAndTheServerGoesOn) {
  link_->Request("@&", "big.bin");
  const std::string chunk(1 << 20, 'B');
  for (int i = 0; i < 4; ++i) link_->port.Arrive(link_->clock.now + i, chunk);
  link_->port.Arrive(link_->clock.now + 4, "!");
  link_->RunUntilIdle();
  EXPECT_EQ(link_->port.Sent(), "") << "no path is that long";
  EXPECT_TRUE(link_->Traced("Message of 4194305 bytes is too long and was discarded."));
  ExpectUnharmedAndServing();
}

TEST_F(HostileInput, RandomMessagesInEveryState) {
  std::mt19937 random(7);
  for (const char* command : {"@@", "@&", "&&", "&&", "zz"}) {
    link_->port.Arrive(link_->clock.now, command);
    for (int i = 0; i < 8; ++i) {
      std::string junk(random() % 700, '\0');
      for (char& c : junk) c = static_cast<char>(random());
      link_->port.Arrive(link_->clock.now + 300 + std::int64_t{400} * i, junk);
    }
    link_->RunUntilIdle();
  }
  for (const auto& entry : stdfs::recursive_directory_iterator(Drive() / "docs")) {
    EXPECT_EQ(entry.path().filename(), "report.txt") << "nothing beside the upload folder";
  }
  ExpectUnharmedAndServing();
}

TEST_F(HostileInput, FileDeletedOrShrunkAfterTheSearch) {
  WriteAll(Drive() / "moving.txt", std::string(5000, 'm'));
  racing_->afterSearch = [&] { stdfs::resize_file(Drive() / "moving.txt", 1200); };
  EXPECT_EQ(Download("C:\\moving.txt"), "@&" + std::string(1200, 'm'));
  racing_->afterSearch = [&] { stdfs::remove(Drive() / "moving.txt"); };
  EXPECT_EQ(Download("C:\\moving.txt"), "@&") << "found, then gone: the echo alone";
  racing_->afterSearch = nullptr;
  ExpectUnharmedAndServing();
}

TEST_F(HostileInput, FileThatShrinksDuringTheEchoPauseIsToldAsChanged) {
  WriteAll(Drive() / "big.bin", std::string(std::size_t{8} << 20, 'b'));
  std::vector<LinkActivity> told;
  link_->server->SetActivitySink([&](const LinkActivity& a) {
    if (a.kind != LinkActivity::Kind::kSending) told.push_back(a);
  });
  link_->clock.duringSleep = [&] { stdfs::resize_file(Drive() / "big.bin", 1 << 20); };
  EXPECT_EQ(Download("C:\\big.bin"), "@&" + std::string(1 << 20, 'b'));
  link_->clock.duringSleep = nullptr;
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(told.back().kind, LinkActivity::Kind::kFileChanged) << "not a plain \"sent\"";
  EXPECT_EQ(told.back().bytes, 1u << 20);
  ExpectUnharmedAndServing();
}

TEST_F(HostileInput, DriveFolderReplacedByALinkIsNotServedAgain) {
  std::vector<Status> failures;
  link_->server->SetActivitySink([&](const LinkActivity& a) {
    if (a.status != kSuccess) failures.push_back(a.status);
  });
  stdfs::remove_all(Drive());
  stdfs::create_directory_symlink(root_ / "outside", Drive());
  EXPECT_EQ(Download("C:\\secret"), "");
  link_->Request("&&", "planted.txt");
  link_->Send("contents");
  EXPECT_FALSE(stdfs::exists(root_ / "outside" / "planted.txt"));
  // A real folder there later is not served either, until the server starts again.
  stdfs::remove(Drive());
  stdfs::create_directory(Drive());
  link_->Request("@@", "C:\\*");
  EXPECT_TRUE(stdfs::is_empty(Drive()));
  EXPECT_EQ(failures, (std::vector<Status>{kDriveReplaced, kDriveReplaced, kDriveReplaced}));
}

TEST_F(HostileInput, UploadCutShortIsStoredAsWhatArrived) {
  // The handheld stopped half way: once the line is quiet, what came is the message.
  link_->Request("&&", "half.bin");
  link_->Send(std::string(700, 'h'));
  EXPECT_EQ(ReadAll(Drive() / "half.bin"), std::string(700, 'h'));
  ExpectUnharmedAndServing();
}

TEST_F(HostileInput, DiskThatRefusesTheWriteLeavesNoPartialFile) {
  link_->Request("&&", "too-big.bin");
  // The file-size limit applies to the whole process: try the store in a child.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::string contents(100000, 'z');
    const int stored = link_->server->ProcessStateMachine(contents.data(), contents.size());
    _exit(stored == 0 && link_->Traced("upload not stored") ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(stdfs::exists(Drive() / "too-big.bin"));
  ExpectUnharmedAndServing();
}

}  // namespace
}  // namespace ql::testing
