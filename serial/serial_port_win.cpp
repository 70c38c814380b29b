// The serial port object on the Win32 communications API.
#include <cstring>

#include "serial/serial_port.h"

namespace ql {

namespace {

static_assert(sizeof(DWORD) == sizeof(std::uint32_t), "the driver writes event bits as a DWORD");
static_assert(sizeof(DCB) == 28, "drivers expect the 28-byte DCB");

Status LastPlatformError() { return static_cast<Status>(GetLastError()); }

Status Checked(BOOL succeeded) { return succeeded ? kErrorSuccess : LastPlatformError(); }

// Reads the driver's current line settings; a closed port has none.
Status ReadLine(HANDLE port, DCB& dcb) {
  if (port == nullptr) return kErrorInvalidHandle;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(DCB);
  return Checked(GetCommState(port, &dcb));
}

// Changes the fields `edit` touches and keeps the driver's values for the rest.
// A nonzero code from `edit` writes nothing.
template <typename Edit>
Status EditLine(HANDLE port, Edit edit) {
  DCB dcb;
  Status status = ReadLine(port, dcb);
  if (status == kErrorSuccess) status = edit(dcb);
  if (status == kErrorSuccess) status = Checked(SetCommState(port, &dcb));
  return status;
}

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
    return kErrorSuccess;
  }
  const Status issued = LastPlatformError();
  if (issued != ERROR_IO_PENDING) return issued;
  if (callerRecord != nullptr) return kErrorSuccess;

  const DWORD waited = WaitForSingleObject(ioEvent, timeoutMs);
  if (waited == WAIT_OBJECT_0) return Checked(GetOverlappedResult(port, &own, &count, FALSE));
  const Status status = waited == WAIT_TIMEOUT ? kErrorTimeout : LastPlatformError();
  CancelIoEx(port, &own);
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

CSerialPort::CSerialPort() = default;

CSerialPort::~CSerialPort() { CSerialPort::ClosePort(); }

Status CSerialPort::OpenPort(const char* name, std::uint32_t inQueue, std::uint32_t outQueue) {
  Store(kErrorSuccess);
  if (portHandle != nullptr) return Store(kErrorAlreadyInitialized);
  HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) return Store(LastPlatformError());
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    const Status code = LastPlatformError();
    CloseHandle(port);
    return Store(code);
  }
  portHandle = port;
  ioEvent = event;
  if (!SetupComm(port, inQueue, outQueue)) {
    const Status code = LastPlatformError();
    ClosePort();
    return Store(code);
  }
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
  if (ioEvent != nullptr) CloseHandle(ioEvent);
  ioEvent = nullptr;
  CloseHandle(portHandle);
  portHandle = nullptr;
  return kErrorSuccess;
}

Status CSerialPort::ConfigureLine(std::uint32_t baud, std::uint8_t byteSize, std::int32_t parity,
                                  std::uint8_t stopBits) {
  return Store(EditLine(portHandle, [&](DCB& dcb) {
    dcb.BaudRate = baud;
    dcb.ByteSize = byteSize;
    dcb.Parity = static_cast<BYTE>(parity & 0xFF);
    dcb.StopBits = stopBits;
    dcb.fParity = parity != kNoParity ? 1 : 0;
    return kErrorSuccess;
  }));
}

Status CSerialPort::SetRxFlagChar(std::uint8_t eventChar, std::uint8_t addToMask) {
  Store(kErrorSuccess);
  Status maskStatus = kErrorSuccess;
  const Status status = EditLine(portHandle, [&](DCB& dcb) {
    dcb.EvtChar = static_cast<char>(eventChar);
    if (addToMask != 0) {
      const std::uint32_t mask = QueryWatchMask();
      // A mask that could not be read is not replaced by the flag alone.
      maskStatus = LastError();
      if (maskStatus == kErrorSuccess) maskStatus = SetWatchMask(mask | kEvRxFlag);
    }
    return kErrorSuccess;
  });
  return Store(status != kErrorSuccess ? status : maskStatus);
}

Status CSerialPort::SetWatchMask(std::uint32_t mask) {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  return Store(Checked(SetCommMask(portHandle, mask)));
}

Status CSerialPort::AwaitCommEvent(CompletionRecord* record, std::uint32_t timeoutMs) {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  // The driver writes the bits when the wait completes, possibly after this call.
  auto* bits = reinterpret_cast<DWORD*>(&eventBits);
  DWORD unused = 0;
  return Store(RunOverlapped(
      portHandle, ioEvent, record, timeoutMs, unused,
      [&](OVERLAPPED* issued, DWORD*) { return WaitCommEvent(portHandle, bits, issued); }));
}

Status CSerialPort::SetFlowControl(std::int32_t mode) {
  return Store(EditLine(portHandle, [mode](DCB& dcb) {
    if (mode != FlowNone && mode != FlowHardware && mode != FlowXonXoff) return kErrorInvalidArg;
    const bool hardware = mode == FlowHardware;
    const bool xonXoff = mode == FlowXonXoff;
    dcb.fOutxCtsFlow = hardware;
    dcb.fOutxDsrFlow = hardware;
    dcb.fDtrControl = hardware ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
    dcb.fOutX = xonXoff;
    dcb.fInX = xonXoff;
    return kErrorSuccess;
  }));
}

Status CSerialPort::SetReadMode(std::int32_t mode) {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  COMMTIMEOUTS timeouts{};
  if (!GetCommTimeouts(portHandle, &timeouts)) return Store(LastPlatformError());
  if (mode != ReadNonBlocking && mode != ReadBlocking) return Store(kErrorInvalidArg);
  // MAXDWORD with zero totals: a read returns at once with what has arrived.
  timeouts.ReadIntervalTimeout = mode == ReadNonBlocking ? MAXDWORD : 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  return Store(Checked(SetCommTimeouts(portHandle, &timeouts)));
}

std::uint32_t CSerialPort::QueryBaudRate() {
  DCB dcb;
  return Store(ReadLine(portHandle, dcb)) == kErrorSuccess ? dcb.BaudRate : 0xFFFFFFFFu;
}

std::int32_t CSerialPort::QueryByteSize() {
  DCB dcb;
  return Store(ReadLine(portHandle, dcb)) == kErrorSuccess ? dcb.ByteSize : -1;
}

std::int32_t CSerialPort::QueryParity() {
  DCB dcb;
  if (Store(ReadLine(portHandle, dcb)) != kErrorSuccess) return -1;
  return dcb.fParity ? dcb.Parity : kNoParity;
}

std::int32_t CSerialPort::QueryStopBits() {
  DCB dcb;
  return Store(ReadLine(portHandle, dcb)) == kErrorSuccess ? dcb.StopBits : -1;
}

std::int32_t CSerialPort::QueryFlowControl() {
  DCB dcb;
  if (Store(ReadLine(portHandle, dcb)) != kErrorSuccess) return -1;
  // Only the DTR and RTS handshakes mark hardware flow; CTS and DSR may differ.
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    return FlowHardware;
  }
  return dcb.fOutX && dcb.fInX ? FlowXonXoff : FlowNone;
}

std::uint32_t CSerialPort::QueryWatchMask() {
  DWORD mask = 0;
  const Status status =
      portHandle == nullptr ? kErrorInvalidHandle : Checked(GetCommMask(portHandle, &mask));
  return Store(status) == kErrorSuccess ? mask : 0;
}

std::uint8_t CSerialPort::QueryRxFlagChar() {
  DCB dcb;
  return Store(ReadLine(portHandle, dcb)) == kErrorSuccess ? static_cast<std::uint8_t>(dcb.EvtChar)
                                                           : 0;
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

Status CSerialPort::DiscardBuffers() {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  if (!PurgeComm(portHandle, PURGE_TXCLEAR | PURGE_RXCLEAR)) Store(LastPlatformError());
  return LastError();
}

}  // namespace ql
