// The Win32 serial port object, on a closed object, a missing port and a
// pseudo terminal linked to a COM name by wine_pty_test.py.
//
// What a pseudo terminal under wine cannot show, and so is not checked here:
// - wine reports no EV_RXCHAR for it, and a non-blocking read of an empty one
//   stays pending instead of returning nothing: no notification of arriving
//   characters and no read of an empty line;
// - Linux keeps a pseudo terminal at 8 data bits without parity, wine never
//   reports a DTR handshake nor keeps the event character: byte size, parity,
//   hardware flow control and the event character do not read back;
// - wine lets a second handle open the same device, so the exclusive open
//   cannot be seen either.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "link/trace.h"
#include "serial/win/serial_wnd.h"

namespace ql {
namespace {

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

const std::string ptyPort = EnvOr("QL_TEST_PTY_PORT", "");
const std::string loopbackPort = EnvOr("QL_TEST_LOOPBACK_PORT", "");
const std::string missingPort = EnvOr("QL_TEST_MISSING_PORT", "COM9");
const std::string capturePath = EnvOr("QL_TEST_PTY_CAPTURE", "");

// The event mask of a freshly opened port.
constexpr DWORD kOpenWatchMask = EV_RXCHAR | EV_BREAK | EV_ERR;

// Opens up what the tests look at besides the results.
class ProbePort : public CSerialPort {
 public:
  HANDLE Handle() const { return portHandle; }
  COMMTIMEOUTS Timeouts() const {
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(portHandle, &timeouts);
    return timeouts;
  }
};

class ProbeWnd : public CSerialWnd {
 public:
  HANDLE Listener() const { return listenerThread; }
  HANDLE StopEvent() const { return stopEvent; }
  UINT Message() const { return notifyMessage; }
  std::uintptr_t Tag() const { return notifyTag; }
};

std::string Captured() {
  std::string bytes;
  if (std::FILE* file = std::fopen(capturePath.c_str(), "rb")) {
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
      bytes.append(chunk, got);
    }
    std::fclose(file);
  }
  return bytes;
}

// What the other end of the line received, once `size` bytes are there.
std::string AwaitCaptured(std::size_t size) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string bytes = Captured();
  while (bytes.size() < size && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    bytes = Captured();
  }
  return bytes;
}

TEST(SerialPortWin, ClosedPortReportsInvalidHandleAndMovesNothing) {
  CSerialPort port;
  char buffer[8] = {};
  DWORD count = 77;
  EXPECT_EQ(port.ReceiveBytes(buffer, sizeof buffer, &count, nullptr, INFINITE),
            kErrorInvalidHandle);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(port.LastError(), kErrorInvalidHandle);
  count = 77;
  EXPECT_EQ(port.SendBytes(buffer, sizeof buffer, &count, nullptr, INFINITE), kErrorInvalidHandle);
  EXPECT_EQ(count, 0u);
  count = 77;
  EXPECT_EQ(port.SendText("@@", &count, nullptr, INFINITE), kErrorInvalidHandle);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(port.SendBlocks(std::string(3000, 'x').data(), 3000), kErrorInvalidHandle);
  EXPECT_EQ(port.SendByte(1, nullptr, nullptr, INFINITE), kErrorInvalidHandle);
  EXPECT_EQ(port.AwaitCommEvent(nullptr, 0), kErrorInvalidHandle);

  EXPECT_EQ(port.ConfigureLine(9600, 8, NOPARITY, ONESTOPBIT), kErrorInvalidHandle);
  EXPECT_EQ(port.SetRxFlagChar('@', 1), kErrorInvalidHandle);
  EXPECT_EQ(port.SetWatchMask(EV_RXCHAR), kErrorInvalidHandle);
  // Without a port there is nothing to check a mode against.
  EXPECT_EQ(port.SetFlowControl(3), kErrorInvalidHandle);
  EXPECT_EQ(port.SetReadMode(2), kErrorInvalidHandle);

  EXPECT_EQ(port.QueryBaudRate(), 0xFFFFFFFFu);
  EXPECT_EQ(port.QueryByteSize(), -1);
  EXPECT_EQ(port.QueryParity(), -1);
  EXPECT_EQ(port.QueryStopBits(), -1);
  EXPECT_EQ(port.QueryFlowControl(), -1);
  EXPECT_EQ(port.QueryWatchMask(), 0u);
  EXPECT_EQ(port.QueryRxFlagChar(), 0);
  EXPECT_EQ(port.LastError(), kErrorInvalidHandle);

  EXPECT_EQ(port.DiscardBuffers(), kErrorInvalidHandle);
  EXPECT_EQ(port.ClosePort(), kSuccess);
  EXPECT_EQ(port.LastError(), kSuccess);
}

TEST(SerialPortWin, MissingPortFailsWithTheSystemsCodeAndStartsNoListener) {
  CSerialPort plain;
  const Status missing = plain.OpenPort(missingPort.c_str(), 2048, 2048);
  EXPECT_GT(missing, 0);
  EXPECT_NE(missing, kErrorInvalidHandle);
  EXPECT_FALSE(plain.IsOpen());

  ProbeWnd port;
  EXPECT_EQ(port.OpenForWindow(missingPort.c_str(), nullptr, 0, 0, 2048, 2048), missing);
  EXPECT_EQ(port.LastError(), missing);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Listener(), nullptr);
  EXPECT_EQ(port.StopEvent(), nullptr);
  EXPECT_EQ(port.SendText("@@", nullptr, nullptr, INFINITE), kErrorInvalidHandle);
  EXPECT_EQ(port.ClosePort(), kSuccess);
}

class SerialPortPty : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ptyPort.empty() || loopbackPort.empty())
      GTEST_SKIP() << "no COM port linked to a pseudo terminal";
  }
};

TEST_F(SerialPortPty, OpenAppliesDefaultsAndRefusesASecondOpen) {
  ProbePort port;
  ASSERT_EQ(port.OpenPort(ptyPort.c_str(), 2048, 2048), kSuccess);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.QueryWatchMask(), kOpenWatchMask);
  EXPECT_EQ(port.QueryBaudRate(), 9600u);
  EXPECT_EQ(port.QueryByteSize(), 8);
  EXPECT_EQ(port.QueryParity(), NOPARITY);
  EXPECT_EQ(port.QueryStopBits(), ONESTOPBIT);
  EXPECT_EQ(port.QueryFlowControl(), FlowNone);
  EXPECT_EQ(port.Timeouts().ReadIntervalTimeout, MAXDWORD);

  ASSERT_EQ(port.ConfigureLine(19200, 8, NOPARITY, ONESTOPBIT), kSuccess);
  EXPECT_EQ(port.OpenPort(ptyPort.c_str(), 2048, 2048), kErrorAlreadyInitialized);
  EXPECT_EQ(port.LastError(), kErrorAlreadyInitialized);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.QueryBaudRate(), 19200u);

  EXPECT_EQ(port.ClosePort(), kSuccess);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.ClosePort(), kSuccess);
  ASSERT_EQ(port.OpenPort(ptyPort.c_str(), 2048, 2048), kSuccess);
  EXPECT_EQ(port.QueryBaudRate(), 9600u);
}

TEST_F(SerialPortPty, SettingsRoundTripAndBadModesChangeNothing) {
  ProbePort port;
  ASSERT_EQ(port.OpenPort(ptyPort.c_str(), 2048, 2048), kSuccess);

  ASSERT_EQ(port.ConfigureLine(115200, 8, EVENPARITY, TWOSTOPBITS), kSuccess);
  EXPECT_EQ(port.QueryBaudRate(), 115200u);
  EXPECT_EQ(port.QueryStopBits(), TWOSTOPBITS);
  ASSERT_EQ(port.ConfigureLine(57600, 8, NOPARITY, ONESTOPBIT), kSuccess);
  EXPECT_EQ(port.QueryBaudRate(), 57600u);
  EXPECT_EQ(port.QueryParity(), NOPARITY);
  EXPECT_EQ(port.QueryStopBits(), ONESTOPBIT);

  EXPECT_EQ(port.SetFlowControl(FlowHardware), kSuccess);
  for (const std::int32_t mode : {FlowXonXoff, FlowNone, FlowXonXoff}) {
    ASSERT_EQ(port.SetFlowControl(mode), kSuccess) << mode;
    EXPECT_EQ(port.QueryFlowControl(), mode);
  }
  EXPECT_EQ(port.SetFlowControl(3), kErrorInvalidArg);
  EXPECT_EQ(port.LastError(), kErrorInvalidArg);
  EXPECT_EQ(port.QueryFlowControl(), FlowXonXoff);

  ASSERT_EQ(port.SetReadMode(ReadBlocking), kSuccess);
  EXPECT_EQ(port.Timeouts().ReadIntervalTimeout, 0u);
  EXPECT_EQ(port.SetReadMode(2), kErrorInvalidArg);
  EXPECT_EQ(port.Timeouts().ReadIntervalTimeout, 0u);
  ASSERT_EQ(port.SetReadMode(ReadNonBlocking), kSuccess);
  EXPECT_EQ(port.Timeouts().ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(port.Timeouts().ReadTotalTimeoutConstant, 0u);

  ASSERT_EQ(port.SetRxFlagChar('&', 1), kSuccess);
  EXPECT_EQ(port.QueryWatchMask(), kOpenWatchMask | EV_RXFLAG);
  ASSERT_EQ(port.SetWatchMask(EV_RXCHAR), kSuccess);
  EXPECT_EQ(port.QueryWatchMask(), EV_RXCHAR);
  EXPECT_EQ(port.DiscardBuffers(), kSuccess);
}

TEST_F(SerialPortPty, WritesArriveUnchangedOnTheOtherEnd) {
  ProbePort port;
  ASSERT_EQ(port.OpenPort(ptyPort.c_str(), 2048, 2048), kSuccess);
  const std::string before = Captured();

  DWORD count = 0;
  EXPECT_EQ(port.SendText("@@", &count, nullptr, INFINITE), kSuccess);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(port.SendText("", &count, nullptr, INFINITE), kSuccess);
  EXPECT_EQ(count, 0u);

  std::string block(3000, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 % 256);
  EXPECT_EQ(port.SendBlocks(block.data(), static_cast<DWORD>(block.size())), kSuccess);

  // With the caller's record the caller finishes the transfer on its own event.
  OVERLAPPED record{};
  record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(port.SendBytes("&&", 2, nullptr, &record, INFINITE), kSuccess);
  ASSERT_EQ(WaitForSingleObject(record.hEvent, 5000), WAIT_OBJECT_0);
  DWORD moved = 0;
  EXPECT_TRUE(GetOverlappedResult(port.Handle(), &record, &moved, FALSE));
  EXPECT_EQ(moved, 2u);
  CloseHandle(record.hEvent);

  EXPECT_EQ(port.SendByte(0x7F, &count, nullptr, 5000), kSuccess);
  EXPECT_EQ(count, 1u);

  const std::string expected = before + "@@" + block + "&&\x7F";
  EXPECT_EQ(AwaitCaptured(expected.size()), expected);
}

TEST_F(SerialPortPty, TimedOutReadIsCancelledBeforeItCanTakeLaterBytes) {
  CSerialPort port;
  ASSERT_EQ(port.OpenPort(loopbackPort.c_str(), 2048, 2048), kSuccess);
  ASSERT_EQ(port.SetReadMode(ReadBlocking), kSuccess);
  char byte = 0;
  DWORD count = 77;
  EXPECT_EQ(port.ReceiveBytes(&byte, 1, &count, nullptr, 200), kErrorTimeout);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(port.LastError(), kErrorTimeout);

  // A read left running would take this byte into a buffer that is gone.
  ASSERT_EQ(port.SendText("Z", nullptr, nullptr, INFINITE), kSuccess);
  EXPECT_EQ(port.ReceiveBytes(&byte, 1, &count, nullptr, 5000), kSuccess);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(byte, 'Z');

  ASSERT_EQ(port.SetReadMode(ReadNonBlocking), kSuccess);
  ASSERT_EQ(port.SendText("@&", nullptr, nullptr, INFINITE), kSuccess);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  char buffer[16] = {};
  EXPECT_EQ(port.ReceiveBytes(buffer, sizeof buffer, &count, nullptr, 5000), kSuccess);
  EXPECT_EQ(std::string(buffer, count), "@&");
}

// Completes the listener's first comm waits at once with scripted event bits,
// as the driver does when characters arrive; later waits go to the port.
class ScriptedWnd : public ProbeWnd {
 public:
  explicit ScriptedWnd(std::vector<DWORD> events) : script(std::move(events)) {}

  Status AwaitCommEvent(OVERLAPPED* record, DWORD timeoutMs) override {
    if (record == nullptr || next >= script.size()) {
      return CSerialWnd::AwaitCommEvent(record, timeoutMs);
    }
    eventBits = script[next++];
    SetEvent(record->hEvent);
    return Store(kSuccess);
  }

 private:
  const std::vector<DWORD> script;
  std::size_t next = 0;  // used by the listener thread alone
};

class MessageWindow {
 public:
  MessageWindow()
      : window(CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                               nullptr)) {}
  ~MessageWindow() { DestroyWindow(window); }

  // The messages posted to the window within `wait`.
  std::vector<MSG> Collect(std::chrono::milliseconds wait) const {
    std::vector<MSG> messages;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
      MSG message;
      while (PeekMessageA(&message, window, 0, 0, PM_REMOVE)) messages.push_back(message);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return messages;
  }

  const HWND window;
};

TEST_F(SerialPortPty, ListenerTellsEventsAndEndsBeforeThePortCloses) {
  MessageWindow target;
  ASSERT_NE(target.window, nullptr);
  ScriptedWnd port({0, EV_RXCHAR | EV_ERR, EV_RXCHAR});
  ASSERT_EQ(port.OpenForWindow(ptyPort.c_str(), target.window, 0, 7, 2048, 2048), kSuccess);
  EXPECT_NE(port.Listener(), nullptr);
  EXPECT_EQ(port.Message(), RegisterWindowMessageA("CSerialWnd_DefaultComMsg"));

  // A wait that ends without bits, as a change of the mask makes it, posts
  // nothing; the last event comes before the window took the notification.
  const std::vector<MSG> posted = target.Collect(std::chrono::milliseconds(500));
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, registeredComMessage);
  EXPECT_EQ(posted[0].lParam, 7);
  EXPECT_EQ(posted[0].wParam, EV_RXCHAR | EV_ERR);
  // Whatever the listener's own waits report stays on its thread.
  EXPECT_EQ(port.LastError(), kSuccess);

  EXPECT_EQ(port.OpenForWindow(ptyPort.c_str(), target.window, 0, 7, 2048, 2048),
            kErrorAlreadyInitialized);
  HANDLE listener = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), port.Listener(), GetCurrentProcess(), &listener,
                              SYNCHRONIZE, FALSE, 0));
  EXPECT_EQ(port.ClosePort(), kSuccess);
  EXPECT_EQ(WaitForSingleObject(listener, 0), WAIT_OBJECT_0);
  CloseHandle(listener);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Listener(), nullptr);
  EXPECT_EQ(port.StopEvent(), nullptr);
  EXPECT_EQ(port.Message(), 0u);
  EXPECT_EQ(port.Tag(), 0u);

  ASSERT_EQ(port.OpenForWindow(ptyPort.c_str(), target.window, 1124, 0, 2048, 2048), kSuccess);
  EXPECT_NE(port.Listener(), nullptr);
  EXPECT_EQ(port.Message(), 1124u);
}

// Ends one of the listener's comm waits with EV_RXCHAR per arrival the test
// lets through; without one the wait stays pending.
class ArrivalWnd : public ProbeWnd {
 public:
  Status AwaitCommEvent(OVERLAPPED* record, DWORD) override {
    const std::lock_guard<std::mutex> lock(mutex);
    waiting = record->hEvent;
    if (arrivals > 0) EndWait();
    return Store(kSuccess);
  }

  Status ClosePort() override {
    const Status closed = CSerialWnd::ClosePort();
    const std::lock_guard<std::mutex> lock(mutex);
    waiting = nullptr;
    return closed;
  }

  // True once the listener has taken all `count` arrivals and waits again.
  bool Arrive(int count) {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      arrivals += count;
      if (waiting != nullptr) EndWait();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      {
        const std::lock_guard<std::mutex> lock(mutex);
        if (arrivals == 0 && waiting != nullptr) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

 private:
  void EndWait() {
    --arrivals;
    eventBits = EV_RXCHAR;
    SetEvent(waiting);
    waiting = nullptr;
  }

  std::mutex mutex;
  int arrivals = 0;
  HANDLE waiting = nullptr;  // the event of the listener's pending wait
};

TEST_F(SerialPortPty, OneNotificationWaitsInTheQueueUntilTheWindowTakesIt) {
  MessageWindow target;
  ArrivalWnd port;
  ASSERT_EQ(port.OpenForWindow(ptyPort.c_str(), target.window, 1124, 3, 2048, 2048), kSuccess);
  // A long transfer while the window is busy: one notification, not one per arrival.
  ASSERT_TRUE(port.Arrive(300));
  std::vector<MSG> posted = target.Collect(std::chrono::milliseconds(100));
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, 1124u);
  EXPECT_EQ(posted[0].wParam, EV_RXCHAR);
  EXPECT_EQ(posted[0].lParam, 3);
  ASSERT_TRUE(port.Arrive(2));
  EXPECT_TRUE(target.Collect(std::chrono::milliseconds(100)).empty());

  // Once taken, what arrives while the window reads the port is told again.
  port.NotificationTaken();
  ASSERT_TRUE(port.Arrive(5));
  EXPECT_EQ(target.Collect(std::chrono::milliseconds(100)).size(), 1u);

  // A notification never taken before the port closed holds back no later open.
  ASSERT_EQ(port.ClosePort(), kSuccess);
  ASSERT_EQ(port.OpenForWindow(ptyPort.c_str(), target.window, 1124, 3, 2048, 2048), kSuccess);
  ASSERT_TRUE(port.Arrive(1));
  EXPECT_EQ(target.Collect(std::chrono::milliseconds(100)).size(), 1u);
  EXPECT_EQ(port.ClosePort(), kSuccess);
}

// A listener whose comm waits fail: each step either fails when issued
// (`issued`) or completes with the NTSTATUS `completion` written the way the
// driver writes it, bringing `events` when that is success; after the script
// the port's own waits run.
struct WaitStep {
  Status issued;
  std::uintptr_t completion;
  DWORD events = EV_RXCHAR;
};

class FailingWnd : public ProbeWnd {
 public:
  explicit FailingWnd(std::vector<WaitStep> steps) : script(std::move(steps)) {}

  Status AwaitCommEvent(OVERLAPPED* record, DWORD timeoutMs) override {
    // Looked at before the count that the test waits for goes up, so a wait
    // counted here was issued after the stop was asked for: by a listener
    // that went on past the stop instead of ending.
    if (stopEvent != nullptr && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
      ++issuedAfterStop;
    }
    ++issues;
    if (record == nullptr || next >= script.size()) {
      return CSerialWnd::AwaitCommEvent(record, timeoutMs);
    }
    const WaitStep step = script[next++];
    if (step.issued != kSuccess) return Store(step.issued);
    record->Internal = step.completion;
    eventBits = step.completion == 0 ? step.events : 0xFFFFFFFFu;
    SetEvent(record->hEvent);
    return Store(kSuccess);
  }

  std::atomic<int> issues{0};
  std::atomic<int> issuedAfterStop{0};

 private:
  const std::vector<WaitStep> script;
  std::size_t next = 0;  // used by the listener thread alone
};

// CPU time the process spent over `wait`, in milliseconds.
template <typename Work>
double ProcessCpuMs(Work work) {
  const auto cpu = [] {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](FILETIME t) {
      return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
  };
  const double before = cpu();
  work();
  return cpu() - before;
}

constexpr std::uintptr_t kStatusCancelled = 0xC0000120;  // ERROR_OPERATION_ABORTED
constexpr UINT kLossMessage = WM_APP + 1;

TEST_F(SerialPortPty, FailedWaitsAreIssuedAgainAfterAGrowingPauseWithoutSpinning) {
  MessageWindow target;
  // Six waits the driver ends with a failure, then one with a character.
  std::vector<WaitStep> steps(6, WaitStep{kSuccess, kStatusCancelled});
  steps.push_back({kSuccess, 0});
  FailingWnd port(steps);
  port.SetLossNotice(target.window, kLossMessage);
  ASSERT_EQ(port.OpenForWindow(ptyPort.c_str(), target.window, 1124, 0, 2048, 2048), kSuccess);
  std::vector<MSG> posted;
  const double cpuMs =
      ProcessCpuMs([&] { posted = target.Collect(std::chrono::milliseconds(1500)); });
  EXPECT_LT(cpuMs, 150.0);  // a spinning listener takes a core
  // 10 + 20 + ... + 320 ms of pauses, then the character is told.
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, 1124u);
  EXPECT_EQ(posted[0].wParam, EV_RXCHAR);
  EXPECT_GE(port.issues.load(), 7);
  EXPECT_EQ(port.ClosePort(), kSuccess);
}

TEST_F(SerialPortPty, AGonePortIsToldOnceToItsOwnWindowAndTheStopEndsTheRetrying) {
  MessageWindow target;
  MessageWindow lossWindow;
  FailingWnd port(std::vector<WaitStep>(50, WaitStep{ERROR_BAD_COMMAND, 0}));
  port.SetLossNotice(lossWindow.window, kLossMessage);
  ASSERT_EQ(port.OpenForWindow(ptyPort.c_str(), target.window, 1124, 5, 2048, 2048), kSuccess);
  const std::vector<MSG> posted = lossWindow.Collect(std::chrono::milliseconds(1600));
  EXPECT_TRUE(target.Collect(std::chrono::milliseconds(20)).empty());
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, kLossMessage);
  EXPECT_EQ(posted[0].wParam, static_cast<WPARAM>(ERROR_BAD_COMMAND));
  const std::uint32_t first = port.Generation();
  EXPECT_EQ(posted[0].lParam, static_cast<LPARAM>(first));
  // Still trying, at most once a second by now.
  EXPECT_GE(port.issues.load(), 6);
  EXPECT_LE(port.issues.load(), 10);
  // Stopped just as a retry begins its 1 s wait: the stop ends the listener.
  // One that went on past the stop would issue another wait. (How promptly
  // the stop ends the wait is a matter of time, which no test measures.)
  const int retry = std::max(port.issues.load() + 1, 8);
  for (int i = 0; i < 5000 && port.issues.load() < retry; ++i) Sleep(1);
  ASSERT_GE(port.issues.load(), retry) << "no retry began within 5 s";
  EXPECT_EQ(port.ClosePort(), kSuccess);
  EXPECT_EQ(port.issuedAfterStop.load(), 0);

  // Each open has a generation of its own, which its listener's notice
  // carries, so that the first open's notice reads as stale; a failed open
  // leaves the number alone.
  EXPECT_NE(port.OpenForWindow(missingPort.c_str(), target.window, 1124, 5, 2048, 2048), kSuccess);
  ASSERT_EQ(port.OpenForWindow(ptyPort.c_str(), target.window, 1124, 5, 2048, 2048), kSuccess);
  EXPECT_EQ(port.Generation(), first + 1);
  const std::vector<MSG> again = lossWindow.Collect(std::chrono::milliseconds(500));
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].lParam, static_cast<LPARAM>(first + 1));
  EXPECT_EQ(port.ClosePort(), kSuccess);
  EXPECT_EQ(port.Generation(), first + 1);
}

TEST_F(SerialPortPty, WaitsThatKeepEndingEmptyArePacedAndToldAsLost) {
  MessageWindow target;
  // One empty wait, as a change of the event mask makes, and a character;
  // then a driver that ends every wait empty, as some do once unplugged.
  std::vector<WaitStep> steps{{kSuccess, 0, 0}, {kSuccess, 0, EV_RXCHAR}};
  steps.insert(steps.end(), 200, WaitStep{kSuccess, 0, 0});
  FailingWnd port(steps);
  port.SetLossNotice(target.window, kLossMessage);
  ASSERT_EQ(port.OpenForWindow(ptyPort.c_str(), target.window, 1124, 0, 2048, 2048), kSuccess);
  std::vector<MSG> posted;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline &&
         std::none_of(posted.begin(), posted.end(),
                      [](const MSG& m) { return m.message == kLossMessage; })) {
    for (const MSG& m : target.Collect(std::chrono::milliseconds(50))) posted.push_back(m);
  }
  // Told once ten waits in a row brought nothing; a spinning listener would
  // have issued the whole script by then.
  const int issued = port.issues.load();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].message, 1124u);
  EXPECT_EQ(posted[1].message, kLossMessage);
  EXPECT_EQ(posted[1].wParam, static_cast<WPARAM>(kErrorPortSilent));
  EXPECT_EQ(posted[1].lParam, static_cast<LPARAM>(port.Generation()));
  EXPECT_GE(issued, 12);
  EXPECT_LE(issued, 13);
  EXPECT_EQ(port.ClosePort(), kSuccess);
}

// Its first comm wait stays pending, and no cancel ever ends it: a driver that
// hangs. Later waits go to the port.
class StuckWnd : public ProbeWnd {
 public:
  Status AwaitCommEvent(OVERLAPPED* record, DWORD timeoutMs) override {
    if (stuck.load() != nullptr) return CSerialWnd::AwaitCommEvent(record, timeoutMs);
    record->Internal = STATUS_PENDING;
    stuck.store(record);
    return Store(kSuccess);
  }

  std::atomic<OVERLAPPED*> stuck{nullptr};
};

TEST_F(SerialPortPty, AStopGivesUpOnAStuckListenerWhichEndsLateWithoutTouchingTheNextOpen) {
  std::vector<std::string> traced;
  SetTraceSink([&traced](const std::string& line) { traced.push_back(line); });
  MessageWindow target;
  StuckWnd port;
  port.SetLossNotice(target.window, kLossMessage);
  ASSERT_EQ(port.OpenForWindow(ptyPort.c_str(), target.window, 1124, 0, 2048, 2048), kSuccess);
  for (int i = 0; i < 5000 && port.stuck.load() == nullptr; ++i) Sleep(1);
  ASSERT_NE(port.stuck.load(), nullptr);
  HANDLE listener = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), port.Listener(), GetCurrentProcess(), &listener,
                              SYNCHRONIZE, FALSE, 0));

  // The close returns (a hang would meet the test's own time limit), having
  // given up on the listener, which still waits for its cancel.
  EXPECT_EQ(port.ClosePort(), kSuccess);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(WaitForSingleObject(listener, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetTraceSink(nullptr);
  ASSERT_EQ(traced.size(), 1u);
  EXPECT_NE(traced[0].find("did not end"), std::string::npos) << traced[0];

  // The driver lets go only once the port is open again: the old listener
  // ends, and neither closes nor tells anything of the new open.
  ASSERT_EQ(port.OpenForWindow(ptyPort.c_str(), target.window, 1124, 0, 2048, 2048), kSuccess);
  OVERLAPPED* const stuck = port.stuck.load();
  stuck->Internal = kStatusCancelled;
  SetEvent(stuck->hEvent);
  EXPECT_EQ(WaitForSingleObject(listener, 10000), WAIT_OBJECT_0);
  CloseHandle(listener);
  EXPECT_TRUE(target.Collect(std::chrono::milliseconds(200)).empty());
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.SendText("@@", nullptr, nullptr, 5000), kSuccess);
  EXPECT_EQ(port.ClosePort(), kSuccess);
}

TEST(SerialPortHangUp, ATerminalThatHangsUpIsToldAsLostWithoutSpinning) {
  const std::string port = EnvOr("QL_TEST_HANGUP_PORT", "");
  if (port.empty()) GTEST_SKIP() << "no COM port that hangs up";
  MessageWindow target;
  ProbeWnd wnd;
  wnd.SetLossNotice(target.window, kLossMessage);
  ASSERT_EQ(wnd.OpenForWindow(port.c_str(), target.window, 1124, 0, 2048, 2048), kSuccess);
  std::FILE* flag = std::fopen(EnvOr("QL_TEST_HANGUP_FLAG", "").c_str(), "wb");
  ASSERT_NE(flag, nullptr);
  std::fclose(flag);
  std::vector<MSG> posted;
  const double cpuMs =
      ProcessCpuMs([&] { posted = target.Collect(std::chrono::milliseconds(3000)); });
  EXPECT_LT(cpuMs, 300.0);
  const auto lost = std::count_if(posted.begin(), posted.end(),
                                  [](const MSG& m) { return m.message == kLossMessage; });
  EXPECT_EQ(lost, 1);  // within 3 s: before the 10 failed waits (4 s) that count as lost too
  EXPECT_EQ(wnd.ClosePort(), kSuccess);
}

}  // namespace
}  // namespace ql
