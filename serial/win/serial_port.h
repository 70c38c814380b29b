// One serial port opened for overlapped input and output. Every operation
// returns a status code (serial_types.h) and keeps it as the last error.
#pragma once

#include <atomic>
#include <cstdint>

#include "serial/win/serial_types.h"

namespace ql {

class CSerialPort {
 public:
  CSerialPort();
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;

  // The virtual operations keep this order; CSerialWnd appends to it.
  virtual ~CSerialPort();
  virtual Status OpenPort(const char* name, std::uint32_t inQueue, std::uint32_t outQueue);
  virtual Status ClosePort();
  virtual Status ConfigureLine(std::uint32_t baud, std::uint8_t byteSize, std::int32_t parity,
                               std::uint8_t stopBits);
  virtual Status SetRxFlagChar(std::uint8_t eventChar, std::uint8_t addToMask);
  virtual Status SetWatchMask(std::uint32_t mask);
  virtual Status AwaitCommEvent(CompletionRecord* record, std::uint32_t timeoutMs);
  virtual Status SetFlowControl(std::int32_t mode);
  virtual Status SetReadMode(std::int32_t mode);
  virtual std::uint32_t QueryBaudRate();
  virtual std::int32_t QueryByteSize();
  virtual std::int32_t QueryParity();
  virtual std::int32_t QueryStopBits();
  virtual std::int32_t QueryFlowControl();
  virtual std::uint32_t QueryWatchMask();
  virtual std::uint8_t QueryRxFlagChar();
  virtual Status SendText(const char* text, std::uint32_t* countOut, CompletionRecord* record,
                          std::uint32_t timeoutMs);
  virtual Status SendBytes(const void* buffer, std::uint32_t length, std::uint32_t* countOut,
                           CompletionRecord* record, std::uint32_t timeoutMs);
  virtual Status SendBlocks(const void* data, std::uint32_t length);
  virtual Status SendByte(std::uint8_t value, std::uint32_t* countOut, CompletionRecord* record,
                          std::uint32_t timeoutMs);
  virtual Status ReceiveBytes(void* buffer, std::uint32_t length, std::uint32_t* countOut,
                              CompletionRecord* record, std::uint32_t timeoutMs);

  Status DiscardBuffers();
  std::uint32_t TakeEventBits();

  // The calling thread's last status: the listener thread and the thread that
  // uses the port each have their own, so neither sees the other's codes.
  Status LastError() const;
  bool IsOpen() const { return portHandle != nullptr; }

 protected:
  // Stores `code` as the calling thread's last status and returns it.
  Status Store(Status code);
  // The thread whose codes go to listenerLastError (set by CSerialWnd).
  void SetListenerThreadId(ThreadId id) { listenerThreadId.store(id); }

  std::atomic<Status> lastError{kSuccess};
  PortHandle portHandle = nullptr;
  std::uint32_t eventBits = 0xFFFFFFFFu;
  EventHandle ioEvent = nullptr;

 private:
  std::atomic<Status> listenerLastError{kSuccess};
  std::atomic<ThreadId> listenerThreadId{};
};

}  // namespace ql
