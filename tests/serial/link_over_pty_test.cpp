// The link core answering a handheld over a real terminal device, served as
// the terminal program's loop serves it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "link/desktop_link.h"
#include "serial/posix/posix_serial_line.h"
#include "tests/link/link_fakes.h"
#include "tests/serial/pty_pair.h"

namespace ql::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class LinkOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(line_.Open(pty_.path()), 0);
    ASSERT_EQ(line_.SetSpeed(115200), 0);
    loop_ = std::thread([this] {
      while (running_) {
        if (line_.WaitFor(20) == PosixSerialLine::WaitResult::kReadable) link_.ServeArrival();
      }
    });
  }
  void TearDown() override { StopLoop(); }

  // Afterwards only the test touches the server and the files.
  void StopLoop() {
    running_ = false;
    if (loop_.joinable()) loop_.join();
  }

  // The handheld's side of a request: command, a pause past the boundary, text.
  void Request(const std::string& command, const std::string& text) {
    pty_.Write(command);
    std::this_thread::sleep_for(300ms);
    pty_.Write(text);
  }

  PtyPair pty_;
  PosixSerialLine line_;
  MemoryFileSystem files_;
  DesktopLink link_{line_, files_, SystemClock()};
  std::atomic<bool> running_{true};
  std::thread loop_;
};

TEST_F(LinkOverPty, ListingArrivesAsEchoPauseRecords) {
  files_.files["C:\\docs\\a.txt"].contents = "alpha";
  files_.files["C:\\docs\\b.txt"].contents = "beta";
  Request("@@", "C:\\docs\\*");
  EXPECT_EQ(pty_.ReadUntilQuiet(200), "@@");
  const auto echoEnd = Clock::now();
  const std::string listing = pty_.ReadUntilQuiet(200);
  EXPECT_GE(Clock::now() - echoEnd, 250ms) << "the 500 ms pause separates the two messages";
  ASSERT_EQ(listing.size(), 1 + 2 * 296u);
  EXPECT_EQ(listing[0], 2);
  EXPECT_STREQ(listing.c_str() + 1 + 296 + 36, "b.txt");
}

TEST_F(LinkOverPty, DownloadAndUploadRoundTrip) {
  std::string contents(3000, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i);
  files_.files["C:\\f.bin"].contents = contents;
  Request("@&", "C:\\f.bin");
  EXPECT_EQ(pty_.ReadUntilQuiet(200), "@&");
  EXPECT_EQ(pty_.ReadUntilQuiet(200), contents);

  Request("&&", "\\My Documents\\up.bin");
  std::this_thread::sleep_for(700ms);  // the desktop pauses after taking the name
  pty_.Write(contents);
  std::this_thread::sleep_for(800ms);  // the quiet interval ends the message
  StopLoop();
  EXPECT_EQ(files_.files["C:\\up.bin"].contents, contents);
  EXPECT_EQ(pty_.ReadUntilQuiet(100, 100), "") << "uploads are not answered";
}

}  // namespace
}  // namespace ql::testing
