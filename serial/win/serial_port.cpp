// The serial port object on the Win32 communications API. Line settings,
// time-outs and the event mask are read-modify-write of the driver's state.
#include "serial/win/serial_port.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "link/trace.h"
#include "link/wire_format.h"

namespace ql {
namespace {

static_assert(sizeof(DCB) == 28, "drivers expect the 28-byte DCB");

// The default event mask of a freshly opened port.
constexpr DWORD kOpenWatchMask = EV_RXCHAR | EV_BREAK | EV_ERR;

Status LastSystemError() { return static_cast<Status>(GetLastError()); }

Status Checked(BOOL succeeded) { return succeeded ? kSuccess : LastSystemError(); }

// Reads the driver's current line settings; a closed port has none.
Status ReadLine(HANDLE port, DCB& dcb) {
  if (port == nullptr) return kErrorInvalidHandle;
  dcb = DCB{};
  dcb.DCBlength = sizeof(DCB);
  return Checked(GetCommState(port, &dcb));
}

// Changes the fields `edit` touches and keeps the driver's values for the rest.
// A nonzero code from `edit` writes nothing.
template <typename Edit>
Status EditLine(HANDLE port, Edit edit) {
  DCB dcb;
  Status status = ReadLine(port, dcb);
  if (status == kSuccess) status = edit(dcb);
  if (status == kSuccess) status = Checked(SetCommState(port, &dcb));
  return status;
}

// How long a timed-out transfer's cancel may take before the transfer is
// left to the driver.
constexpr DWORD kCancelLimitMs = 3000;

// A transfer on the object's own OVERLAPPED, with room for the bytes it moves
// or the event bits it takes. On the heap: the driver writes into them until
// the transfer ends, so one whose cancel never completes keeps them for good.
struct OwnTransfer {
  OVERLAPPED overlapped{};
  DWORD eventBits = 0;
  std::unique_ptr<BYTE[]> bytes;
};

std::unique_ptr<OwnTransfer> NewOwnTransfer(DWORD length) {
  std::unique_ptr<OwnTransfer> record(new (std::nothrow) OwnTransfer);
  if (record && length > 0) {
    record->bytes.reset(new (std::nothrow) BYTE[length]);
    if (!record->bytes) record.reset();
  }
  return record;
}

// Runs one overlapped call (`issue`) on the caller's OVERLAPPED: a pending
// call is the caller's to finish.
template <typename Issue>
Status RunOnCallers(OVERLAPPED* callers, DWORD& count, Issue issue) {
  if (issue(callers, &count)) {
    // Also signalled when done at once, so that a caller can always wait on it.
    if (callers->hEvent != nullptr) SetEvent(callers->hEvent);
    return kSuccess;
  }
  const Status issued = LastSystemError();
  return issued == ERROR_IO_PENDING ? kSuccess : issued;
}

// Runs one overlapped call (`issue`) on `record` and waits for it, cancelling
// it after `timeoutMs`. A cancel the driver does not complete within
// kCancelLimitMs must not hang the caller: the record (released from
// `record`) and `ioEvent` (replaced) are left to the driver, never freed.
template <typename Issue>
Status RunOnOwn(HANDLE port, HANDLE& ioEvent, std::unique_ptr<OwnTransfer>& record, DWORD timeoutMs,
                DWORD& count, Issue issue) {
  if (ioEvent == nullptr) return kErrorNotEnoughMemory;  // its replacement failed
  OVERLAPPED& overlapped = record->overlapped;
  overlapped.hEvent = ioEvent;
  ResetEvent(ioEvent);
  if (issue(&overlapped, &count)) return kSuccess;
  const Status issued = LastSystemError();
  if (issued != ERROR_IO_PENDING) return issued;

  const DWORD waited = WaitForSingleObject(ioEvent, timeoutMs);
  if (waited == WAIT_OBJECT_0)
    return Checked(GetOverlappedResult(port, &overlapped, &count, FALSE));
  const Status status = waited == WAIT_TIMEOUT ? kErrorTimeout : LastSystemError();
  // The transfer is this thread's own, so CancelIo (present on XP) ends it.
  CancelIo(port);
  if (WaitForSingleObject(ioEvent, kCancelLimitMs) == WAIT_OBJECT_0) {
    GetOverlappedResult(port, &overlapped, &count, FALSE);  // count: what moved before the cancel
    return status;
  }
  Trace(("Serial port: a cancelled transfer did not end within " +
         std::to_string(kCancelLimitMs / 1000) + " s; left to the driver.")
            .c_str());
  static_cast<void>(record.release());
  ioEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  count = 0;
  return status;
}

enum class Way { kSend, kReceive };

// Moves `length` bytes from `source` or into `target`. On the object's own
// OVERLAPPED the driver moves a copy, which a transfer left to it keeps. A
// transfer's count is 0 until something moved, even on a closed port.
Status Transfer(HANDLE port, HANDLE& ioEvent, Way way, const void* source, void* target,
                DWORD length, DWORD* countOut, OVERLAPPED* callers, DWORD timeoutMs) {
  DWORD localCount = 0;
  DWORD& count = countOut != nullptr ? *countOut : localCount;
  count = 0;
  if (port == nullptr) return kErrorInvalidHandle;
  // `copy`: the record's bytes; null for the caller's own.
  const auto issue = [&](OVERLAPPED* overlapped, BYTE* copy, DWORD* moved) {
    if (way == Way::kSend) {
      return WriteFile(port, copy != nullptr ? copy : source, length, moved, overlapped);
    }
    return ReadFile(port, copy != nullptr ? copy : target, length, moved, overlapped);
  };
  if (callers != nullptr) {
    return RunOnCallers(callers, count, [&](OVERLAPPED* overlapped, DWORD* moved) {
      return issue(overlapped, nullptr, moved);
    });
  }
  std::unique_ptr<OwnTransfer> record = NewOwnTransfer(length);
  if (!record) return kErrorNotEnoughMemory;
  BYTE* const copy = record->bytes.get();
  if (way == Way::kSend && length > 0) std::memcpy(copy, source, length);
  const Status status = RunOnOwn(
      port, ioEvent, record, timeoutMs, count,
      [&](OVERLAPPED* overlapped, DWORD* moved) { return issue(overlapped, copy, moved); });
  if (way == Way::kReceive && record && count > 0) std::memcpy(target, copy, count);
  return status;
}

}  // namespace

CSerialPort::CSerialPort() = default;

CSerialPort::~CSerialPort() { CSerialPort::ClosePort(); }

Status CSerialPort::Store(Status code) {
  if (GetCurrentThreadId() == listenerThreadId.load()) {
    listenerLastError.store(code);
  } else {
    lastError.store(code);
  }
  return code;
}

Status CSerialPort::LastError() const {
  return GetCurrentThreadId() == listenerThreadId.load() ? listenerLastError.load()
                                                         : lastError.load();
}

Status CSerialPort::OpenPort(const char* name, DWORD inQueue, DWORD outQueue) {
  Store(kSuccess);
  if (portHandle != nullptr) return Store(kErrorAlreadyInitialized);
  // For this process alone.
  HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) return Store(LastSystemError());
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    const Status code = LastSystemError();
    CloseHandle(port);
    return Store(code);
  }
  portHandle = port;
  ioEvent = event;
  if (!SetupComm(port, inQueue, outQueue)) {
    const Status code = LastSystemError();
    ClosePort();
    return Store(code);
  }
  // Each default resets the status, so the open reports the last one's.
  SetWatchMask(kOpenWatchMask);
  ConfigureLine(9600, 8, NOPARITY, ONESTOPBIT);
  SetReadMode(ReadNonBlocking);
  SetFlowControl(FlowNone);
  return LastError();
}

Status CSerialPort::ClosePort() {
  Store(kSuccess);
  if (portHandle == nullptr) return kSuccess;
  if (ioEvent != nullptr) CloseHandle(ioEvent);
  ioEvent = nullptr;
  CloseHandle(portHandle);
  portHandle = nullptr;
  return kSuccess;
}

Status CSerialPort::ConfigureLine(DWORD baud, BYTE byteSize, int parity, BYTE stopBits) {
  return Store(EditLine(portHandle, [&](DCB& dcb) {
    dcb.BaudRate = baud;
    dcb.ByteSize = byteSize;
    dcb.Parity = static_cast<BYTE>(parity & 0xFF);
    dcb.StopBits = stopBits;
    dcb.fParity = parity != NOPARITY ? 1 : 0;
    return kSuccess;
  }));
}

Status CSerialPort::SetRxFlagChar(BYTE eventChar, BYTE addToMask) {
  Store(kSuccess);
  Status maskStatus = kSuccess;
  const Status status = EditLine(portHandle, [&](DCB& dcb) {
    dcb.EvtChar = static_cast<char>(eventChar);
    if (addToMask != 0) {
      const DWORD mask = QueryWatchMask();
      // A mask that could not be read is not replaced by the flag alone.
      maskStatus = LastError();
      if (maskStatus == kSuccess) maskStatus = SetWatchMask(mask | EV_RXFLAG);
    }
    return kSuccess;
  });
  return Store(status != kSuccess ? status : maskStatus);
}

Status CSerialPort::SetWatchMask(DWORD mask) {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  return Store(Checked(SetCommMask(portHandle, mask)));
}

Status CSerialPort::AwaitCommEvent(OVERLAPPED* overlapped, DWORD timeoutMs) {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  DWORD unused = 0;
  if (overlapped != nullptr) {
    // The driver writes the bits when the wait completes, possibly after this call.
    return Store(RunOnCallers(overlapped, unused, [&](OVERLAPPED* issued, DWORD*) {
      return WaitCommEvent(portHandle, &eventBits, issued);
    }));
  }
  std::unique_ptr<OwnTransfer> record = NewOwnTransfer(0);
  if (!record) return Store(kErrorNotEnoughMemory);
  DWORD* const bits = &record->eventBits;
  const Status status =
      RunOnOwn(portHandle, ioEvent, record, timeoutMs, unused,
               [&](OVERLAPPED* issued, DWORD*) { return WaitCommEvent(portHandle, bits, issued); });
  if (status == kSuccess) eventBits = *bits;
  return Store(status);
}

Status CSerialPort::SetFlowControl(int mode) {
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
    return kSuccess;
  }));
}

Status CSerialPort::SetReadMode(int mode) {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  COMMTIMEOUTS timeouts{};
  if (!GetCommTimeouts(portHandle, &timeouts)) return Store(LastSystemError());
  if (mode != ReadNonBlocking && mode != ReadBlocking) return Store(kErrorInvalidArg);
  // MAXDWORD with zero totals: a read returns at once with what has arrived.
  timeouts.ReadIntervalTimeout = mode == ReadNonBlocking ? MAXDWORD : 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  return Store(Checked(SetCommTimeouts(portHandle, &timeouts)));
}

DWORD CSerialPort::QueryBaudRate() {
  DCB dcb;
  return Store(ReadLine(portHandle, dcb)) == kSuccess ? dcb.BaudRate : 0xFFFFFFFFu;
}

int CSerialPort::QueryByteSize() {
  DCB dcb;
  return Store(ReadLine(portHandle, dcb)) == kSuccess ? dcb.ByteSize : -1;
}

int CSerialPort::QueryParity() {
  DCB dcb;
  if (Store(ReadLine(portHandle, dcb)) != kSuccess) return -1;
  return dcb.fParity ? dcb.Parity : NOPARITY;
}

int CSerialPort::QueryStopBits() {
  DCB dcb;
  return Store(ReadLine(portHandle, dcb)) == kSuccess ? dcb.StopBits : -1;
}

int CSerialPort::QueryFlowControl() {
  DCB dcb;
  if (Store(ReadLine(portHandle, dcb)) != kSuccess) return -1;
  // Only the DTR and RTS handshakes mark hardware flow; CTS and DSR may differ.
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    return FlowHardware;
  }
  return dcb.fOutX && dcb.fInX ? FlowXonXoff : FlowNone;
}

DWORD CSerialPort::QueryWatchMask() {
  DWORD mask = 0;
  const Status status =
      portHandle == nullptr ? kErrorInvalidHandle : Checked(GetCommMask(portHandle, &mask));
  return Store(status) == kSuccess ? mask : 0;
}

BYTE CSerialPort::QueryRxFlagChar() {
  DCB dcb;
  return Store(ReadLine(portHandle, dcb)) == kSuccess ? static_cast<BYTE>(dcb.EvtChar) : 0;
}

Status CSerialPort::SendText(const char* text, DWORD* countOut, OVERLAPPED* overlapped,
                             DWORD timeoutMs) {
  Store(kSuccess);
  const std::size_t length = std::strlen(text);
  // The copy is what the driver sends from; the terminator is never sent.
  std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 1]);
  if (!copy) {
    if (countOut != nullptr) *countOut = 0;
    return Store(kErrorNotEnoughMemory);
  }
  std::memcpy(copy.get(), text, length);
  return SendBytes(copy.get(), static_cast<DWORD>(length), countOut, overlapped, timeoutMs);
}

Status CSerialPort::SendBytes(const void* buffer, DWORD length, DWORD* countOut,
                              OVERLAPPED* overlapped, DWORD timeoutMs) {
  return Store(Transfer(portHandle, ioEvent, Way::kSend, buffer, nullptr, length, countOut,
                        overlapped, timeoutMs));
}

Status CSerialPort::SendBlocks(const void* data, DWORD length) {
  const auto* bytes = static_cast<const BYTE*>(data);
  if (length <= kBlockSize) return SendBytes(bytes, length, nullptr, nullptr, INFINITE);
  const DWORD fullBlocks = length / kBlockSize;
  for (DWORD i = 0; i < fullBlocks; ++i) {
    // After a lost block the rest would arrive as the contents it should have held.
    const Status sent = SendBytes(bytes + static_cast<std::size_t>(i) * kBlockSize, kBlockSize,
                                  nullptr, nullptr, INFINITE);
    if (sent != kSuccess) return sent;
  }
  // A multiple of 1024 ends with an empty write, whose status is the answer.
  return SendBytes(bytes + static_cast<std::size_t>(fullBlocks) * kBlockSize, length % kBlockSize,
                   nullptr, nullptr, INFINITE);
}

Status CSerialPort::SendByte(BYTE value, DWORD* countOut, OVERLAPPED* overlapped, DWORD timeoutMs) {
  return SendBytes(&value, 1, countOut, overlapped, timeoutMs);
}

Status CSerialPort::ReceiveBytes(void* buffer, DWORD length, DWORD* countOut,
                                 OVERLAPPED* overlapped, DWORD timeoutMs) {
  return Store(Transfer(portHandle, ioEvent, Way::kReceive, nullptr, buffer, length, countOut,
                        overlapped, timeoutMs));
}

Status CSerialPort::DiscardBuffers() {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  if (!PurgeComm(portHandle, PURGE_TXCLEAR | PURGE_RXCLEAR)) Store(LastSystemError());
  return LastError();
}

DWORD CSerialPort::TakeEventBits() {
  const DWORD bits = eventBits;
  eventBits = 0xFFFFFFFFu;
  return bits;
}

}  // namespace ql
