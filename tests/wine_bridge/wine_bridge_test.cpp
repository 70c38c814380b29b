// The wine bridge seen from a Windows program: the comm calls on a COM port
// linked to a pseudo terminal whose other end sends back what it receives.
// Run with parts of the bridge switched off (QL_WINE_BRIDGE_NO_...), each case
// expects wine's own behaviour instead, which shows what that part bridges.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool PartOn(const char* variable) {
  const char* value = std::getenv(variable);
  return value == nullptr || *value == '\0' || std::strcmp(value, "0") == 0;
}

const bool modemOn = PartOn("QL_WINE_BRIDGE_NO_MODEM");
const bool readOn = PartOn("QL_WINE_BRIDGE_NO_READ");
const bool maskOn = PartOn("QL_WINE_BRIDGE_NO_MASK");
const bool cancelOn = PartOn("QL_WINE_BRIDGE_NO_CANCEL");

class BridgedPort : public ::testing::Test {
 protected:
  explicit BridgedPort(const char* portVariable = "QL_TEST_LOOPBACK_PORT")
      : portVariable_(portVariable) {}

  void SetUp() override {
    const char* name = std::getenv(portVariable_);
    ASSERT_NE(name, nullptr) << "no COM port linked to a pseudo terminal";
    port = CreateFileA((std::string("\\\\.\\") + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &immediate));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR));
    record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    if (record.hEvent != nullptr) CloseHandle(record.hEvent);
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  }

  // Sends `bytes`, which the other end returns.
  void Echo(const char* bytes) {
    OVERLAPPED write{};
    write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD sent = 0;
    if (!WriteFile(port, bytes, static_cast<DWORD>(std::strlen(bytes)), &sent, &write)) {
      ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
      ASSERT_TRUE(GetOverlappedResult(port, &write, &sent, TRUE));
    }
    CloseHandle(write.hEvent);
    EXPECT_EQ(sent, std::strlen(bytes));
  }

  // Starts a wait for arriving characters, which stays pending on an empty line.
  void StartPendingWait() {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    events = 0xFFFF;
    ASSERT_FALSE(WaitCommEvent(port, &events, &record));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(record.hEvent, 100), static_cast<DWORD>(WAIT_TIMEOUT));
  }

  // Whether the wait ended within `ms`, and how.
  bool WaitEnded(DWORD ms, BOOL& succeeded, DWORD& error) {
    if (WaitForSingleObject(record.hEvent, ms) != WAIT_OBJECT_0) return false;
    DWORD unused = 0;
    succeeded = GetOverlappedResult(port, &record, &unused, FALSE);
    error = succeeded ? 0 : GetLastError();
    return true;
  }

  HANDLE port = INVALID_HANDLE_VALUE;
  OVERLAPPED record{};
  DWORD events = 0;

 private:
  const char* portVariable_;
};

// A terminal whose both sides are closed once the test asks for it.
class BridgedHangUp : public BridgedPort {
 protected:
  BridgedHangUp() : BridgedPort("QL_TEST_HANGUP_PORT") {}

  static void HangUp() {
    std::FILE* flag = std::fopen(std::getenv("QL_TEST_HANGUP_FLAG"), "wb");
    ASSERT_NE(flag, nullptr);
    std::fclose(flag);
  }
};

TEST_F(BridgedPort, ModemStatusAndArrivingCharactersAreReported) {
  DWORD lines = 0;
  EXPECT_EQ(GetCommModemStatus(port, &lines) != FALSE, modemOn);
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  events = 0;
  const BOOL done = WaitCommEvent(port, &events, &record);
  const DWORD issued = done ? 0 : GetLastError();
  ASSERT_TRUE(done || issued == ERROR_IO_PENDING) << issued;
  Echo("x");
  BOOL succeeded = FALSE;
  DWORD error = 0;
  ASSERT_TRUE(WaitEnded(2000, succeeded, error));
  if (modemOn) {
    EXPECT_TRUE(succeeded) << error;
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
  } else {
    // wine cannot read the modem lines of a terminal and gives the wait up.
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  }
}

TEST_F(BridgedPort, ImmediateReadReturnsWhatHasArrivedEvenNothing) {
  char buffer[16] = {};
  DWORD got = 77;
  const BOOL done = ReadFile(port, buffer, sizeof buffer, &got, &record);
  if (readOn) {
    EXPECT_TRUE(done) << GetLastError();
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(WaitForSingleObject(record.hEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  } else {
    // wine keeps the read pending until bytes arrive: they complete it.
    EXPECT_FALSE(done);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(record.hEvent, 200), static_cast<DWORD>(WAIT_TIMEOUT));
  }
  Echo("ab");
  if (!readOn) {
    ASSERT_EQ(WaitForSingleObject(record.hEvent, 2000), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_TRUE(GetOverlappedResult(port, &record, &got, FALSE));
    EXPECT_EQ(std::string(buffer, got), "ab");
    return;
  }
  std::string received;
  for (int tries = 0; tries < 100 && received.size() < 2; ++tries) {
    ResetEvent(record.hEvent);
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, &record)) << GetLastError();
    received.append(buffer, got);
    Sleep(20);
  }
  EXPECT_EQ(received, "ab");
}

TEST_F(BridgedPort, MaskChangeEndsAPendingWaitWithNoEvents) {
  if (!modemOn) GTEST_SKIP() << "without the modem part no wait stays pending";
  StartPendingWait();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_ERR));
  BOOL succeeded = FALSE;
  DWORD error = 0;
  ASSERT_TRUE(WaitEnded(2000, succeeded, error));
  if (maskOn) {
    EXPECT_TRUE(succeeded) << error;
    EXPECT_EQ(events, 0u);
  } else {
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  }
}

TEST_F(BridgedPort, CancelEndsAPendingWait) {
  if (!modemOn) GTEST_SKIP() << "without the modem part no wait stays pending";
  for (const bool threadCancel : {false, true}) {
    StartPendingWait();
    const BOOL cancelled = threadCancel ? CancelIo(port) : CancelIoEx(port, &record);
    BOOL succeeded = TRUE;
    DWORD error = 0;
    if (cancelOn) {
      EXPECT_TRUE(cancelled) << GetLastError();
      ASSERT_TRUE(WaitEnded(2000, succeeded, error));
      EXPECT_FALSE(succeeded);
      EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    } else {
      // wine's wait goes on; only a change of the mask ends it.
      EXPECT_FALSE(WaitEnded(300, succeeded, error));
      ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
      ASSERT_TRUE(WaitEnded(2000, succeeded, error));
    }
  }
}

TEST_F(BridgedHangUp, APendingWaitFailsWhenTheTerminalHangsUp) {
  if (!modemOn) GTEST_SKIP() << "without the modem part no wait stays pending";
  StartPendingWait();
  HangUp();
  BOOL succeeded = TRUE;
  DWORD error = 0;
  // An unplugged adapter fails the wait; the modem lines of a hung-up terminal are not bridged.
  ASSERT_TRUE(WaitEnded(2000, succeeded, error));
  EXPECT_FALSE(succeeded);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_READY));
}

}  // namespace
