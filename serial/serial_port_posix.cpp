// The serial port object on a POSIX terminal device. Transfers and comm
// waits complete before they return, and signal the record's event as a
// transfer completed at once does on Windows.
#include "serial/comm_api.h"
#include "serial/serial_port.h"

namespace ql {
namespace {

// A transfer's count is 0 until something moved, even on a closed port.
template <typename Move>
Status Transfer(PortHandle port, EventHandle ioEvent, std::uint32_t* countOut,
                CompletionRecord* record, Move move) {
  std::uint32_t localCount = 0;
  std::uint32_t& count = countOut != nullptr ? *countOut : localCount;
  count = 0;
  if (port == nullptr) return kErrorInvalidHandle;
  const Status status = move(count);
  if (status == kErrorSuccess) SetEvent(record != nullptr ? record->hEvent : ioEvent);
  return status;
}

}  // namespace

Status CSerialPort::OpenPort(const char* name, std::uint32_t /*inQueue*/,
                             std::uint32_t /*outQueue*/) {
  Store(kErrorSuccess);
  if (portHandle != nullptr) return Store(kErrorAlreadyInitialized);
  PortHandle port = OpenCommDevice(name);
  if (port == nullptr) return Store(LastPlatformError());
  EventHandle event = CreateManualResetEvent();
  if (event == nullptr) {
    const Status code = LastPlatformError();
    CloseCommDevice(port);
    return Store(code);
  }
  // The terminal driver's queues have fixed sizes: there is nothing to set up.
  portHandle = port;
  ioEvent = event;
  // Each default resets the status, so the open reports the last one's.
  SetWatchMask(kDefaultWatchMask);
  ConfigureLine(9600, 8, kNoParity, kOneStopBit);
  SetReadMode(ReadNonBlocking);
  SetFlowControl(FlowNone);
  return LastError();
}

Status CSerialPort::ClosePort() {
  Store(kErrorSuccess);
  if (portHandle == nullptr) return kErrorSuccess;
  CloseEvent(ioEvent);
  ioEvent = nullptr;
  CloseCommDevice(portHandle);
  portHandle = nullptr;
  return kErrorSuccess;
}

Status CSerialPort::AwaitCommEvent(CompletionRecord* record, std::uint32_t timeoutMs) {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  const Status status = WaitCommEvent(portHandle, &eventBits, nullptr, timeoutMs);
  if (status == kErrorSuccess) SetEvent(record != nullptr ? record->hEvent : ioEvent);
  return Store(status);
}

Status CSerialPort::SendBytes(const void* buffer, std::uint32_t length, std::uint32_t* countOut,
                              CompletionRecord* record, std::uint32_t timeoutMs) {
  return Store(Transfer(portHandle, ioEvent, countOut, record, [&](std::uint32_t& count) {
    return WriteComm(portHandle, buffer, length, &count, timeoutMs);
  }));
}

Status CSerialPort::ReceiveBytes(void* buffer, std::uint32_t length, std::uint32_t* countOut,
                                 CompletionRecord* record, std::uint32_t timeoutMs) {
  return Store(Transfer(portHandle, ioEvent, countOut, record, [&](std::uint32_t& count) {
    return ReadComm(portHandle, buffer, length, &count, timeoutMs);
  }));
}

}  // namespace ql
