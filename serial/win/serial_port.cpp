// The serial port object's settings: line settings, time-outs and the event
// mask are read-modify-write of the driver's state through comm_api.h.
// serial_port_win.cpp moves the bytes.
#include "serial/win/serial_port.h"

#include <cstring>
#include <memory>
#include <new>

#include "link/wire_format.h"
#include "serial/win/comm_api.h"

namespace ql {
namespace {

// Reads the driver's current line settings; a closed port has none.
Status ReadLine(PortHandle port, DCB& dcb) {
  if (port == nullptr) return kErrorInvalidHandle;
  dcb = DCB{};
  dcb.DCBlength = sizeof(DCB);
  return Checked(GetCommState(port, &dcb));
}

// Changes the fields `edit` touches and keeps the driver's values for the rest.
// A nonzero code from `edit` writes nothing.
template <typename Edit>
Status EditLine(PortHandle port, Edit edit) {
  DCB dcb;
  Status status = ReadLine(port, dcb);
  if (status == kSuccess) status = edit(dcb);
  if (status == kSuccess) status = Checked(SetCommState(port, &dcb));
  return status;
}

}  // namespace

CSerialPort::CSerialPort() = default;

CSerialPort::~CSerialPort() { CSerialPort::ClosePort(); }

Status CSerialPort::Store(Status code) {
  if (CurrentThreadId() == listenerThreadId.load()) {
    listenerLastError.store(code);
  } else {
    lastError.store(code);
  }
  return code;
}

Status CSerialPort::LastError() const {
  return CurrentThreadId() == listenerThreadId.load() ? listenerLastError.load() : lastError.load();
}

Status CSerialPort::OpenPort(const char* name, std::uint32_t inQueue, std::uint32_t outQueue) {
  Store(kSuccess);
  if (portHandle != nullptr) return Store(kErrorAlreadyInitialized);
  PortHandle port = OpenCommDevice(name);
  if (port == nullptr) return Store(LastPlatformError());
  EventHandle event = CreateManualResetEvent();
  if (event == nullptr) {
    const Status code = LastPlatformError();
    CloseCommDevice(port);
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
  Store(kSuccess);
  if (portHandle == nullptr) return kSuccess;
  CloseEvent(ioEvent);
  ioEvent = nullptr;
  CloseCommDevice(portHandle);
  portHandle = nullptr;
  return kSuccess;
}

Status CSerialPort::SendText(const char* text, std::uint32_t* countOut, CompletionRecord* record,
                             std::uint32_t timeoutMs) {
  Store(kSuccess);
  const std::size_t length = std::strlen(text);
  // The copy is what the driver sends from; the terminator is never sent.
  std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 1]);
  if (!copy) {
    if (countOut != nullptr) *countOut = 0;
    return Store(kErrorNotEnoughMemory);
  }
  std::memcpy(copy.get(), text, length);
  return SendBytes(copy.get(), static_cast<std::uint32_t>(length), countOut, record, timeoutMs);
}

Status CSerialPort::SendBlocks(const void* data, std::uint32_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (length <= kBlockSize) return SendBytes(bytes, length, nullptr, nullptr, kInfinite);
  const std::uint32_t fullBlocks = length / kBlockSize;
  for (std::uint32_t i = 0; i < fullBlocks; ++i) {
    // After a lost block the rest would arrive as the contents it should have held.
    const Status sent = SendBytes(bytes + static_cast<std::size_t>(i) * kBlockSize, kBlockSize,
                                  nullptr, nullptr, kInfinite);
    if (sent != kSuccess) return sent;
  }
  // A multiple of 1024 ends with an empty write, whose status is the answer.
  return SendBytes(bytes + static_cast<std::size_t>(fullBlocks) * kBlockSize, length % kBlockSize,
                   nullptr, nullptr, kInfinite);
}

Status CSerialPort::SendByte(std::uint8_t value, std::uint32_t* countOut, CompletionRecord* record,
                             std::uint32_t timeoutMs) {
  return SendBytes(&value, 1, countOut, record, timeoutMs);
}

std::uint32_t CSerialPort::TakeEventBits() {
  const std::uint32_t bits = eventBits;
  eventBits = 0xFFFFFFFFu;
  return bits;
}

Status CSerialPort::ConfigureLine(std::uint32_t baud, std::uint8_t byteSize, std::int32_t parity,
                                  std::uint8_t stopBits) {
  return Store(EditLine(portHandle, [&](DCB& dcb) {
    dcb.BaudRate = baud;
    dcb.ByteSize = byteSize;
    dcb.Parity = static_cast<BYTE>(parity & 0xFF);
    dcb.StopBits = stopBits;
    dcb.fParity = parity != kNoParity ? 1 : 0;
    return kSuccess;
  }));
}

Status CSerialPort::SetRxFlagChar(std::uint8_t eventChar, std::uint8_t addToMask) {
  Store(kSuccess);
  Status maskStatus = kSuccess;
  const Status status = EditLine(portHandle, [&](DCB& dcb) {
    dcb.EvtChar = static_cast<char>(eventChar);
    if (addToMask != 0) {
      const std::uint32_t mask = QueryWatchMask();
      // A mask that could not be read is not replaced by the flag alone.
      maskStatus = LastError();
      if (maskStatus == kSuccess) maskStatus = SetWatchMask(mask | kEvRxFlag);
    }
    return kSuccess;
  });
  return Store(status != kSuccess ? status : maskStatus);
}

Status CSerialPort::SetWatchMask(std::uint32_t mask) {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  return Store(Checked(SetCommMask(portHandle, mask)));
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
    return kSuccess;
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
  return Store(ReadLine(portHandle, dcb)) == kSuccess ? dcb.BaudRate : 0xFFFFFFFFu;
}

std::int32_t CSerialPort::QueryByteSize() {
  DCB dcb;
  return Store(ReadLine(portHandle, dcb)) == kSuccess ? dcb.ByteSize : -1;
}

std::int32_t CSerialPort::QueryParity() {
  DCB dcb;
  if (Store(ReadLine(portHandle, dcb)) != kSuccess) return -1;
  return dcb.fParity ? dcb.Parity : kNoParity;
}

std::int32_t CSerialPort::QueryStopBits() {
  DCB dcb;
  return Store(ReadLine(portHandle, dcb)) == kSuccess ? dcb.StopBits : -1;
}

std::int32_t CSerialPort::QueryFlowControl() {
  DCB dcb;
  if (Store(ReadLine(portHandle, dcb)) != kSuccess) return -1;
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
  return Store(status) == kSuccess ? mask : 0;
}

std::uint8_t CSerialPort::QueryRxFlagChar() {
  DCB dcb;
  return Store(ReadLine(portHandle, dcb)) == kSuccess ? static_cast<std::uint8_t>(dcb.EvtChar) : 0;
}

Status CSerialPort::DiscardBuffers() {
  if (portHandle == nullptr) return Store(kErrorInvalidHandle);
  if (!PurgeComm(portHandle, PURGE_TXCLEAR | PURGE_RXCLEAR)) Store(LastPlatformError());
  return LastError();
}

}  // namespace ql
