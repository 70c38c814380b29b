#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "serial/notify_queue.h"
#include "serial/posix_comm.h"
#include "serial/serial_wnd.h"
#include "tests/serial/pty_pair.h"

namespace ql::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kWmSerialEvent = 1124;

// Records the length of every write the port hands to the device.
class CountingPort : public CSerialPort {
 public:
  Status SendBytes(const void* buffer, std::uint32_t length, std::uint32_t* countOut,
                   CompletionRecord* record, std::uint32_t timeoutMs) override {
    writes.push_back(length);
    return CSerialPort::SendBytes(buffer, length, countOut, record, timeoutMs);
  }
  std::vector<std::uint32_t> writes;
};

TEST(PosixSerialPort, ClosedPortAnswersInvalidHandle) {
  CSerialPort port;
  char buffer[8];
  std::uint32_t count = 99;
  EXPECT_EQ(port.ReceiveBytes(buffer, sizeof buffer, &count, nullptr, kInfinite), 6);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(port.LastError(), 6);
  EXPECT_EQ(port.SendText("@@", &count, nullptr, kInfinite), 6);
  EXPECT_EQ(port.QueryBaudRate(), 0xFFFFFFFFu);
  EXPECT_EQ(port.QueryFlowControl(), -1);
  EXPECT_EQ(port.QueryWatchMask(), 0u);
  EXPECT_EQ(port.DiscardBuffers(), 6);
  EXPECT_EQ(port.ClosePort(), 0);
}

TEST(PosixSerialPort, OpenAppliesTheDefaultsAndIsExclusive) {
  PtyPair pty;
  CSerialPort port;
  ASSERT_EQ(port.OpenPort(pty.path(), 2048, 2048), 0);
  EXPECT_EQ(port.QueryWatchMask(), kDefaultWatchMask);
  EXPECT_EQ(port.QueryBaudRate(), 9600u);
  EXPECT_EQ(port.QueryByteSize(), 8);
  EXPECT_EQ(port.QueryParity(), 0);
  EXPECT_EQ(port.QueryStopBits(), 0);
  EXPECT_EQ(port.QueryFlowControl(), 0);

  // Non-blocking reads: an empty port answers at once with nothing.
  char buffer[16];
  std::uint32_t count = 99;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.ReceiveBytes(buffer, sizeof buffer, &count, nullptr, kInfinite), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);

  ASSERT_EQ(port.ConfigureLine(115200, 8, kNoParity, kOneStopBit), 0);
  EXPECT_EQ(port.OpenPort(pty.path(), 2048, 2048), kErrorAlreadyInitialized);
  EXPECT_EQ(port.QueryBaudRate(), 115200u) << "the open port is untouched";

  CSerialPort second;
  EXPECT_EQ(second.OpenPort(pty.path(), 2048, 2048), kErrorAccessDenied);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(CSerialPort().OpenPort("/dev/no-such-serial-port", 2048, 2048), kErrorFileNotFound);

  EXPECT_EQ(port.ClosePort(), 0);
  EXPECT_EQ(second.OpenPort(pty.path(), 2048, 2048), 0) << "free again after the close";
}

TEST(PosixSerialPort, ModesRoundTripAndBadModesChangeNothing) {
  PtyPair pty;
  CSerialPort port;
  ASSERT_EQ(port.OpenPort(pty.path(), 2048, 2048), 0);
  EXPECT_EQ(port.SetFlowControl(FlowHardware), 0);
  EXPECT_EQ(port.QueryFlowControl(), FlowHardware);
  EXPECT_EQ(port.SetFlowControl(FlowXonXoff), 0);
  EXPECT_EQ(port.QueryFlowControl(), FlowXonXoff);
  EXPECT_EQ(port.SetFlowControl(3), kErrorInvalidArg);
  EXPECT_EQ(port.QueryFlowControl(), FlowXonXoff);
  EXPECT_EQ(port.SetFlowControl(FlowNone), 0);
  EXPECT_EQ(port.QueryFlowControl(), FlowNone);

  EXPECT_EQ(port.SetReadMode(2), kErrorInvalidArg);
  char buffer[4];
  std::uint32_t count = 99;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.ReceiveBytes(buffer, sizeof buffer, &count, nullptr, 1000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms) << "reads still return at once";

  EXPECT_EQ(port.ConfigureLine(19200, 8, kNoParity, kTwoStopBits), 0);
  EXPECT_EQ(port.QueryStopBits(), kTwoStopBits);
#ifdef __linux__
  // A Linux pseudo terminal carries 8 bits without parity, whatever is asked:
  // a format it does not hold is refused and the line stays as it was.
  EXPECT_EQ(port.ConfigureLine(19200, 7, kEvenParity, kOneStopBit), 87);
  EXPECT_EQ(port.ConfigureLine(19200, 8, kMarkParity, kOneStopBit), 87);
  EXPECT_EQ(port.QueryParity(), 0);
  EXPECT_EQ(port.QueryByteSize(), 8);
  EXPECT_EQ(port.QueryStopBits(), kTwoStopBits);
  EXPECT_EQ(port.SetRxFlagChar('!', 0), 0) << "and later changes still go through";
#else
  EXPECT_EQ(port.ConfigureLine(19200, 7, kEvenParity, kOneStopBit), 0);
  EXPECT_EQ(port.QueryParity(), kEvenParity);
  EXPECT_EQ(port.QueryByteSize(), 7);
#endif
  EXPECT_EQ(port.ConfigureLine(19200, 8, kNoParity, kOneStopBit), 0);
  EXPECT_EQ(port.QueryParity(), 0);
  EXPECT_EQ(port.QueryStopBits(), kOneStopBit);

  EXPECT_EQ(port.ConfigureLine(12345, 8, kNoParity, kOneStopBit), 87) << "no such speed";
  EXPECT_EQ(port.ConfigureLine(19200, 9, kNoParity, kOneStopBit), 87);
  EXPECT_EQ(port.ConfigureLine(19200, 8, kNoParity, kOne5StopBits), 87);
  EXPECT_EQ(port.ConfigureLine(19200, 8, 5, kOneStopBit), 87);
  EXPECT_EQ(port.QueryBaudRate(), 19200u);
  EXPECT_EQ(port.QueryByteSize(), 8);
  EXPECT_EQ(port.QueryStopBits(), kOneStopBit);
  EXPECT_EQ(port.SetRxFlagChar('~', 1), 0);
  EXPECT_EQ(port.QueryRxFlagChar(), '~');
  EXPECT_EQ(port.QueryWatchMask(), kDefaultWatchMask | kEvRxFlag);
}

TEST(PosixSerialPort, WritesReachTheLineInPiecesOfAtMost1024) {
  PtyPair pty;
  CountingPort port;
  ASSERT_EQ(port.OpenPort(pty.path(), 2048, 2048), 0);
  for (const std::uint32_t length : {1024u, 1025u, 2048u, 0u}) {
    port.writes.clear();
    const std::string payload(length, 'p');
    EXPECT_EQ(port.SendBlocks(payload.data(), length), 0);
    EXPECT_EQ(pty.ReadUntilQuiet(50, length == 0 ? 50 : 2000), payload);
    const std::vector<std::uint32_t> expected =
        length == 1024   ? std::vector<std::uint32_t>{1024}
        : length == 1025 ? std::vector<std::uint32_t>{1024, 1}
        : length == 2048 ? std::vector<std::uint32_t>{1024, 1024, 0}
                         : std::vector<std::uint32_t>{0};
    EXPECT_EQ(port.writes, expected) << length;
  }
  std::uint32_t count = 0;
  EXPECT_EQ(port.SendText("@@", &count, nullptr, kInfinite), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(pty.ReadUntilQuiet(50), "@@");
  port.writes.clear();
  EXPECT_EQ(port.SendText("", &count, nullptr, kInfinite), 0);
  EXPECT_EQ(port.writes, std::vector<std::uint32_t>{0});
}

TEST(PosixSerialPort, BlockingReadsWaitForTheWholeCount) {
  PtyPair pty;
  CSerialPort port;
  ASSERT_EQ(port.OpenPort(pty.path(), 2048, 2048), 0);
  ASSERT_EQ(port.SetReadMode(ReadBlocking), 0);
  CompletionRecord record;
  record.hEvent = CreateManualResetEvent();
  SetEvent(record.hEvent);  // a stale completion must not survive the next call

  pty.Write("ab");
  char buffer[4];
  std::uint32_t count = 0;
  EXPECT_EQ(port.ReceiveBytes(buffer, 4, &count, &record, 150), kErrorTimeout);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(port.LastError(), kErrorTimeout);
  EXPECT_EQ(WaitForEvent(record.hEvent, 0), kErrorTimeout);

  std::thread farEnd([&pty] {
    std::this_thread::sleep_for(50ms);
    pty.Write("cd");
    std::this_thread::sleep_for(50ms);
    pty.Write("ef");
  });
  EXPECT_EQ(port.ReceiveBytes(buffer, 4, &count, &record, 2000), 0);
  farEnd.join();
  EXPECT_EQ(std::string(buffer, count), "cdef");
  EXPECT_EQ(WaitForEvent(record.hEvent, 0), 0) << "completion signals the caller's event";
  CloseEvent(record.hEvent);
}

TEST(PosixSerialPort, PurgeDropsWhatWaitsAndEventBitsAreTakenOnce) {
  PtyPair pty;
  CSerialPort port;
  ASSERT_EQ(port.OpenPort(pty.path(), 2048, 2048), 0);
  pty.Write("stale bytes");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(port.DiscardBuffers(), 0);
  char buffer[32];
  std::uint32_t count = 99;
  EXPECT_EQ(port.ReceiveBytes(buffer, sizeof buffer, &count, nullptr, kInfinite), 0);
  EXPECT_EQ(count, 0u);

  EXPECT_EQ(port.AwaitCommEvent(nullptr, 50), kErrorTimeout);
  pty.Write("x");
  EXPECT_EQ(port.AwaitCommEvent(nullptr, 2000), 0);
  EXPECT_EQ(port.TakeEventBits(), kEvRxChar);
  EXPECT_EQ(port.TakeEventBits(), 0xFFFFFFFFu);
}

TEST(PosixSerialPort, ErrnoMeansWhatWindowsWouldSay) {
  EXPECT_EQ(StatusFromErrno(ENOENT), kErrorFileNotFound);
  EXPECT_EQ(StatusFromErrno(ENOTDIR), kErrorFileNotFound);
  EXPECT_EQ(StatusFromErrno(ENXIO), kErrorFileNotFound);
  EXPECT_EQ(StatusFromErrno(ENODEV), kErrorFileNotFound);
  EXPECT_EQ(StatusFromErrno(EACCES), kErrorAccessDenied);
  EXPECT_EQ(StatusFromErrno(EPERM), kErrorAccessDenied);
  EXPECT_EQ(StatusFromErrno(EBUSY), kErrorAccessDenied);
  EXPECT_EQ(StatusFromErrno(EWOULDBLOCK), kErrorAccessDenied);
  EXPECT_EQ(StatusFromErrno(ENOMEM), kErrorNotEnoughMemory);
  EXPECT_EQ(StatusFromErrno(EINVAL), 87);
  EXPECT_EQ(StatusFromErrno(ETIMEDOUT), kErrorTimeout);
  EXPECT_EQ(StatusFromErrno(ENOTTY), 1);
  EXPECT_EQ(StatusFromErrno(EIO), 1117);
  EXPECT_EQ(StatusFromErrno(EDOM), 31);
}

bool TakeWithin(NotifyQueue& queue, Notification& out, std::chrono::milliseconds wait) {
  return queue.Take(out, wait);
}

TEST(PosixSerialWnd, OneNotificationPerArrivalWithTheTag) {
  PtyPair pty;
  NotifyQueue queue;
  CSerialWnd port;
  ASSERT_EQ(port.OpenForWindow(pty.path(), &queue, kWmSerialEvent, 0, 2048, 2048), 0);
  ASSERT_EQ(port.SetWatchMask(kEvRxChar), 0);

  pty.Write("abc");
  Notification n;
  ASSERT_TRUE(TakeWithin(queue, n, 2s));
  EXPECT_EQ(n.message, kWmSerialEvent);
  EXPECT_EQ(n.wParam, kEvRxChar);
  EXPECT_EQ(n.lParam, 0u);
  pty.Write("def");  // not read yet: the handler will find it with the rest
  EXPECT_FALSE(TakeWithin(queue, n, 200ms));

  char buffer[16];
  std::uint32_t count = 0;
  ASSERT_EQ(port.ReceiveBytes(buffer, sizeof buffer, &count, nullptr, kInfinite), 0);
  EXPECT_EQ(std::string(buffer, count), "abcdef");
  pty.Write("g");
  EXPECT_TRUE(TakeWithin(queue, n, 2s)) << "read empty, the next arrival is told again";

  EXPECT_EQ(port.ClosePort(), 0);
  EXPECT_FALSE(port.IsOpen());
  pty.Write("after close");
  EXPECT_FALSE(TakeWithin(queue, n, 200ms));

  // A new open starts a new listener; message 0 means the registered one.
  ASSERT_EQ(port.OpenForWindow(pty.path(), &queue, 0, 5, 2048, 2048), 0);
  pty.Write("again");
  ASSERT_TRUE(TakeWithin(queue, n, 2s));
  EXPECT_EQ(n.message, registeredComMessage);
  EXPECT_EQ(n.lParam, 5u);
}

TEST(PosixSerialWnd, APurgeOrAReadThatEmptiesTheQueueRearmsTheListener) {
  PtyPair pty;
  NotifyQueue queue;
  CSerialWnd port;
  ASSERT_EQ(port.OpenForWindow(pty.path(), &queue, kWmSerialEvent, 0, 2048, 2048), 0);
  Notification n;
  pty.Write("@&");
  ASSERT_TRUE(TakeWithin(queue, n, 2s));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(port.DiscardBuffers(), 0);  // handled without reading, as a state change does
  pty.Write("x");
  ASSERT_TRUE(TakeWithin(queue, n, 2s)) << "told after a purge";

  std::this_thread::sleep_for(20ms);
  char buffer[1];
  std::uint32_t count = 0;
  ASSERT_EQ(port.ReceiveBytes(buffer, 1, &count, nullptr, kInfinite), 0);
  ASSERT_EQ(count, 1u);  // a full read, but nothing is left
  pty.Write("y");
  EXPECT_TRUE(TakeWithin(queue, n, 2s)) << "told after a read that took the last byte";
}

// Notes whether the port was still open when the listener ended.
class ProbedWnd : public CSerialWnd {
 public:
  Status ListenLoop() override {
    const Status status = CSerialWnd::ListenLoop();
    openWhenEnded = IsOpen();
    return status;
  }
  std::atomic<bool> openWhenEnded{false};
};

TEST(PosixSerialWnd, CloseEndsTheListenerBeforeThePortAndToleratesNoTarget) {
  PtyPair pty;
  ProbedWnd port;
  ASSERT_EQ(port.OpenForWindow(pty.path(), nullptr, kWmSerialEvent, 0, 2048, 2048), 0);
  pty.Write("nobody listens");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(port.ClosePort(), 0);
  EXPECT_TRUE(port.openWhenEnded);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.ClosePort(), 0);
  EXPECT_EQ(port.OpenForWindow("/dev/no-such-serial-port", nullptr, 0, 0, 2048, 2048),
            kErrorFileNotFound);
  EXPECT_EQ(port.OpenForWindow(pty.path(), nullptr, 0, 0, 2048, 2048), 0);
  EXPECT_EQ(port.OpenForWindow(pty.path(), nullptr, 0, 0, 2048, 2048), kErrorAlreadyInitialized);
}

TEST(PosixSerialWnd, MaskWithoutCharactersPostsNothing) {
  PtyPair pty;
  NotifyQueue queue;
  CSerialWnd port;
  ASSERT_EQ(port.OpenForWindow(pty.path(), &queue, kWmSerialEvent, 0, 2048, 2048), 0);
  ASSERT_EQ(port.SetWatchMask(kEvBreak), 0);
  pty.Write("ignored");
  Notification n;
  EXPECT_FALSE(TakeWithin(queue, n, 200ms));
  ASSERT_EQ(port.SetWatchMask(kEvRxChar), 0);
  EXPECT_TRUE(TakeWithin(queue, n, 2s)) << "what waits is told once characters count again";
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(PosixSerialWnd, HangUpIsToldOnceAndDoesNotSpin) {
  PtyPair pty;
  NotifyQueue queue;
  CSerialWnd port;
  ASSERT_EQ(port.OpenForWindow(pty.path(), &queue, kWmSerialEvent, 0, 2048, 2048), 0);
  pty.HangUp();
  Notification n;
  ASSERT_TRUE(TakeWithin(queue, n, 2s));
  EXPECT_EQ(n.wParam & 0xFFFF, kEvErr);
  const double before = ProcessCpuSeconds();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(ProcessCpuSeconds() - before, 0.05) << "the listener must not spin";
  EXPECT_EQ(queue.Size(), 0u);

  char buffer[8];
  std::uint32_t count = 0;
  EXPECT_NE(port.ReceiveBytes(buffer, sizeof buffer, &count, nullptr, kInfinite), 0);
  EXPECT_EQ(port.ClosePort(), 0) << "and the stop still ends it";
}

}  // namespace
}  // namespace ql::testing
