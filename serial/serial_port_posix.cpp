// The serial port object on a POSIX terminal device. Transfers and comm
// waits complete before they return, and signal the record's event as a
// transfer completed at once does on Windows.
#include "serial/comm_api.h"
#include "serial/serial_port.h"

namespace ql {
namespace {

// Runs a call that completes before it returns. Like an overlapped call, it
// resets the record's event when issued and signals it on success only, so a
// caller waiting on the event never sees an earlier completion.
template <typename Run>
Status Complete(EventHandle ioEvent, CompletionRecord* record, Run run) {
  EventHandle done = record != nullptr ? record->hEvent : ioEvent;
  ResetEvent(done);
  const Status status = run();
  if (status == kErrorSuccess) SetEvent(done);
  return status;
}

// A transfer's count is 0 until something moved, even on a closed port.
template <typename Move>
Status Transfer(PortHandle port, EventHandle ioEvent, std::uint32_t* countOut,
                CompletionRecord* record, Move move) {
  std::uint32_t localCount = 0;
  std::uint32_t& count = countOut != nullptr ? *countOut : localCount;
  count = 0;
  if (port == nullptr) return kErrorInvalidHandle;
  return Complete(ioEvent, record, [&] { return move(count); });
}

}  // namespace

Status CSerialPort::AwaitCommEvent(CompletionRecord* record, std::uint32_t timeoutMs) {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  return Store(Complete(ioEvent, record,
                        [&] { return WaitCommEvent(portHandle, &eventBits, nullptr, timeoutMs); }));
}

void CSerialPort::SetAbortEvent(EventHandle event) { transferAbort = event; }

Status CSerialPort::SendBytes(const void* buffer, std::uint32_t length, std::uint32_t* countOut,
                              CompletionRecord* record, std::uint32_t timeoutMs) {
  return Store(Transfer(portHandle, ioEvent, countOut, record, [&](std::uint32_t& count) {
    return WriteComm(portHandle, buffer, length, &count, timeoutMs, transferAbort);
  }));
}

Status CSerialPort::ReceiveBytes(void* buffer, std::uint32_t length, std::uint32_t* countOut,
                                 CompletionRecord* record, std::uint32_t timeoutMs) {
  return Store(Transfer(portHandle, ioEvent, countOut, record, [&](std::uint32_t& count) {
    if (transferAbort != nullptr && WaitForEvent(transferAbort, 0) == kErrorSuccess) {
      return kErrorOperationAborted;
    }
    return ReadComm(portHandle, buffer, length, &count, timeoutMs);
  }));
}

}  // namespace ql
