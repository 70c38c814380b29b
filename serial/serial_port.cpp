// The operations of the serial port object that need no platform call of their
// own; serial_port_win.cpp and serial_port_posix.cpp hold the rest.
#include "serial/serial_port.h"

#include <cstring>
#include <memory>
#include <new>

namespace ql {

Status CSerialPort::Store(Status code) {
  if (std::this_thread::get_id() == listenerThreadId.load()) {
    listenerLastError.store(code);
  } else {
    lastError.store(code);
  }
  return code;
}

Status CSerialPort::LastError() const {
  return std::this_thread::get_id() == listenerThreadId.load() ? listenerLastError.load()
                                                               : lastError.load();
}

Status CSerialPort::SendText(const char* text, std::uint32_t* countOut, CompletionRecord* record,
                             std::uint32_t timeoutMs) {
  Store(kErrorSuccess);
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
  constexpr std::uint32_t kBlock = 1024;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (length <= kBlock) return SendBytes(bytes, length, nullptr, nullptr, kInfinite);
  const std::uint32_t fullBlocks = length / kBlock;
  for (std::uint32_t i = 0; i < fullBlocks; ++i) {
    SendBytes(bytes + static_cast<std::size_t>(i) * kBlock, kBlock, nullptr, nullptr, kInfinite);
  }
  // A multiple of 1024 ends with an empty write, whose status is the answer.
  return SendBytes(bytes + static_cast<std::size_t>(fullBlocks) * kBlock, length % kBlock, nullptr,
                   nullptr, kInfinite);
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

}  // namespace ql
