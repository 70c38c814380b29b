// The serial port object on the Win32 communications API.
#include "serial/win/comm_api.h"
#include "serial/win/serial_port.h"

namespace ql {

namespace {

static_assert(sizeof(DWORD) == sizeof(std::uint32_t), "the driver writes event bits as a DWORD");
static_assert(sizeof(DCB) == 28, "drivers expect the 28-byte DCB");

// Runs one overlapped call (`issue`). A pending call on the caller's record is
// the caller's to finish. On the own record it is waited for here, and it
// never outlives the call: the record lives on this stack frame.
template <typename Issue>
Status RunOverlapped(HANDLE port, HANDLE ioEvent, OVERLAPPED* callerRecord, DWORD timeoutMs,
                     DWORD& count, Issue issue) {
  OVERLAPPED own{};
  own.hEvent = ioEvent;
  OVERLAPPED* record = callerRecord != nullptr ? callerRecord : &own;
  if (callerRecord == nullptr) ResetEvent(ioEvent);
  if (issue(record, &count)) {
    // Also signalled when done at once, so that a caller can always wait on it.
    if (record->hEvent != nullptr) SetEvent(record->hEvent);
    return kSuccess;
  }
  const Status issued = LastPlatformError();
  if (issued != ERROR_IO_PENDING) return issued;
  if (callerRecord != nullptr) return kSuccess;

  const DWORD waited = WaitForSingleObject(ioEvent, timeoutMs);
  if (waited == WAIT_OBJECT_0) return Checked(GetOverlappedResult(port, &own, &count, FALSE));
  const Status status = waited == WAIT_TIMEOUT ? kErrorTimeout : LastPlatformError();
  // The transfer is this thread's own, so CancelIo (present on XP) ends it.
  CancelIo(port);
  GetOverlappedResult(port, &own, &count, TRUE);  // count: what moved before the cancel
  return status;
}

// A transfer's count is 0 until something moved, even on a closed port.
template <typename Issue>
Status Transfer(HANDLE port, HANDLE ioEvent, std::uint32_t* countOut, OVERLAPPED* record,
                DWORD timeoutMs, Issue issue) {
  std::uint32_t localCount = 0;
  std::uint32_t& count = countOut != nullptr ? *countOut : localCount;
  count = 0;
  if (port == nullptr) return kErrorInvalidHandle;
  DWORD moved = 0;
  const Status status = RunOverlapped(port, ioEvent, record, timeoutMs, moved, issue);
  count = moved;
  return status;
}

}  // namespace

Status CSerialPort::AwaitCommEvent(CompletionRecord* record, std::uint32_t timeoutMs) {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  // The driver writes the bits when the wait completes, possibly after this call.
  auto* bits = reinterpret_cast<DWORD*>(&eventBits);
  DWORD unused = 0;
  return Store(RunOverlapped(
      portHandle, ioEvent, record, timeoutMs, unused,
      [&](OVERLAPPED* issued, DWORD*) { return WaitCommEvent(portHandle, bits, issued); }));
}

Status CSerialPort::SendBytes(const void* buffer, std::uint32_t length, std::uint32_t* countOut,
                              CompletionRecord* record, std::uint32_t timeoutMs) {
  return Store(Transfer(portHandle, ioEvent, countOut, record, timeoutMs,
                        [&](OVERLAPPED* issued, DWORD* count) {
                          return WriteFile(portHandle, buffer, length, count, issued);
                        }));
}

Status CSerialPort::ReceiveBytes(void* buffer, std::uint32_t length, std::uint32_t* countOut,
                                 CompletionRecord* record, std::uint32_t timeoutMs) {
  return Store(Transfer(portHandle, ioEvent, countOut, record, timeoutMs,
                        [&](OVERLAPPED* issued, DWORD* count) {
                          return ReadFile(portHandle, buffer, length, count, issued);
                        }));
}

}  // namespace ql
