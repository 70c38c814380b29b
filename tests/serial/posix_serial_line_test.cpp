#include "serial/posix/posix_serial_line.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

#include "tests/serial/pty_pair.h"

namespace ql::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Wait = PosixSerialLine::WaitResult;

std::string ReadAll(PosixSerialLine& line, Status& status) {
  char buffer[64];
  std::uint32_t count = 99;
  status = line.ReceiveBytes(buffer, sizeof buffer, &count);
  return std::string(buffer, count);
}

TEST(PosixSerialLine, OpenIsExclusiveAndReadsReturnAtOnce) {
  PtyPair pty;
  PosixSerialLine line;
  ASSERT_EQ(line.Open(pty.path()), 0);
  EXPECT_EQ(line.Open(pty.path()), EALREADY);

  Status status = -1;
  const auto start = Clock::now();
  EXPECT_EQ(ReadAll(line, status), "");
  EXPECT_EQ(status, 0);
  EXPECT_LT(Clock::now() - start, 50ms);
  pty.Write("abc");
  EXPECT_EQ(line.WaitFor(2000), Wait::kReadable);
  EXPECT_EQ(ReadAll(line, status), "abc");

  PosixSerialLine second;
  const int refused = second.Open(pty.path());
  EXPECT_TRUE(refused == EBUSY || refused == EWOULDBLOCK) << refused;
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.Open("/dev/no-such-serial-port"), ENOENT);
  line.Close();
  EXPECT_EQ(second.Open(pty.path()), 0) << "free again after the close";
}

TEST(PosixSerialLine, RefusedSpeedKeepsTheOldOne) {
  PtyPair pty;
  PosixSerialLine line;
  EXPECT_EQ(line.SetSpeed(19200), EBADF);
  ASSERT_EQ(line.Open(pty.path()), 0);
  ASSERT_EQ(line.SetSpeed(115200), 0);
  EXPECT_EQ(line.Speed(), 115200u);
  EXPECT_EQ(line.SetSpeed(12345), EINVAL);
  EXPECT_EQ(line.Speed(), 115200u);
}

// An open line on which the other end has sent bytes that wait to be read.
class LineWithBytes : public ::testing::Test {
 protected:
  void Arrive(const char* bytes) {
    ASSERT_EQ(line.Open(pty.path()), 0);
    pty.Write(bytes);
    ASSERT_EQ(line.WaitFor(2000), Wait::kReadable);
  }

  PtyPair pty;
  PosixSerialLine line;
};

TEST_F(LineWithBytes, PurgeDropsWhatWaits) {
  ASSERT_NO_FATAL_FAILURE(Arrive("stale bytes"));
  EXPECT_EQ(line.DiscardBuffers(), 0);
  EXPECT_EQ(line.WaitFor(50), Wait::kTimedOut);
  Status status = -1;
  EXPECT_EQ(ReadAll(line, status), "");
  EXPECT_EQ(status, 0);
}

TEST_F(LineWithBytes, HangUpComesAfterThePendingBytes) {
  ASSERT_NO_FATAL_FAILURE(Arrive("last words"));
  pty.HangUp();
  Status status = -1;
  std::string got = ReadAll(line, status);
  // Linux throws away what waits when a pseudo terminal hangs up; where the
  // system keeps it, it is read before the hang-up is told.
  if (!got.empty()) {
    EXPECT_EQ(got, "last words");
    EXPECT_EQ(status, 0);
    got = ReadAll(line, status);
  }
  EXPECT_EQ(got, "");
  EXPECT_EQ(status, EIO);
  const auto start = Clock::now();
  EXPECT_EQ(line.WaitFor(2000), Wait::kHungUp);
  EXPECT_LT(Clock::now() - start, 1s) << "told at once, not when the wait ran out";
  EXPECT_EQ(line.SendText("anyone?"), EIO);
}

TEST(PosixSerialLine, WakeEndsAWaitAndASendUnderWay) {
  PtyPair pty;
  PosixSerialLine line;
  ASSERT_EQ(line.Open(pty.path()), 0);
  std::thread waker([&line] {
    std::this_thread::sleep_for(200ms);
    line.Wake();
  });
  // Nobody reads the far end: the send fills the queue and waits for room.
  const std::string flood(1 << 20, 'f');
  const auto start = Clock::now();
  EXPECT_EQ(line.SendBlocks(flood.data(), static_cast<std::uint32_t>(flood.size())), ECANCELED);
  EXPECT_LT(Clock::now() - start, 2s);
  waker.join();
  EXPECT_EQ(line.WaitFor(-1), Wait::kWoken);
  Status status = -1;
  ReadAll(line, status);
  EXPECT_EQ(status, ECANCELED) << "a woken line moves no more bytes";
  line.Close();
  EXPECT_EQ(line.WaitFor(-1), Wait::kWoken) << "also while closed";
}

}  // namespace
}  // namespace ql::testing
