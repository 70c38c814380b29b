// One serial port opened for overlapped input and output. Every operation
// returns a status code and keeps it as the last error: kSuccess, one of the
// object's own codes below, or the system's error code of the call that failed.
#pragma once

#include <windows.h>

#include <atomic>

#include "link/status.h"

namespace ql {

// An operation that needs the port ran while none is open.
constexpr Status kErrorInvalidHandle = ERROR_INVALID_HANDLE;
// OpenPort ran while a port is open.
constexpr Status kErrorAlreadyInitialized = ERROR_ALREADY_INITIALIZED;
// The object's own wait for a transfer or a comm wait ran out.
constexpr Status kErrorTimeout = ERROR_TIMEOUT;
// SendText could not copy its text.
constexpr Status kErrorNotEnoughMemory = ERROR_NOT_ENOUGH_MEMORY;
// SetFlowControl or SetReadMode was given a mode outside its range.
constexpr Status kErrorInvalidArg = static_cast<Status>(E_INVALIDARG);

enum FlowMode : int { FlowNone = 0, FlowHardware = 1, FlowXonXoff = 2 };
enum ReadMode : int { ReadNonBlocking = 0, ReadBlocking = 1 };

class CSerialPort {
 public:
  CSerialPort();
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;

  // The virtual operations keep this order; CSerialWnd appends to it.
  virtual ~CSerialPort();
  virtual Status OpenPort(const char* name, DWORD inQueue, DWORD outQueue);
  virtual Status ClosePort();
  virtual Status ConfigureLine(DWORD baud, BYTE byteSize, int parity, BYTE stopBits);
  virtual Status SetRxFlagChar(BYTE eventChar, BYTE addToMask);
  virtual Status SetWatchMask(DWORD mask);
  // With the caller's `overlapped` a pending wait is the caller's to finish;
  // the event bits land in the object when it completes (TakeEventBits).
  virtual Status AwaitCommEvent(OVERLAPPED* overlapped, DWORD timeoutMs);
  virtual Status SetFlowControl(int mode);
  virtual Status SetReadMode(int mode);
  virtual DWORD QueryBaudRate();
  virtual int QueryByteSize();
  virtual int QueryParity();
  virtual int QueryStopBits();
  virtual int QueryFlowControl();
  virtual DWORD QueryWatchMask();
  virtual BYTE QueryRxFlagChar();
  virtual Status SendText(const char* text, DWORD* countOut, OVERLAPPED* overlapped,
                          DWORD timeoutMs);
  virtual Status SendBytes(const void* buffer, DWORD length, DWORD* countOut,
                           OVERLAPPED* overlapped, DWORD timeoutMs);
  virtual Status SendBlocks(const void* data, DWORD length);
  virtual Status SendByte(BYTE value, DWORD* countOut, OVERLAPPED* overlapped, DWORD timeoutMs);
  virtual Status ReceiveBytes(void* buffer, DWORD length, DWORD* countOut, OVERLAPPED* overlapped,
                              DWORD timeoutMs);

  Status DiscardBuffers();
  DWORD TakeEventBits();

  // The calling thread's last status: the listener thread and the thread that
  // uses the port each have their own, so neither sees the other's codes.
  Status LastError() const;
  bool IsOpen() const { return portHandle != nullptr; }

 protected:
  // Stores `code` as the calling thread's last status and returns it.
  Status Store(Status code);
  // The thread whose codes go to listenerLastError (set by CSerialWnd); 0 for none.
  void SetListenerThreadId(DWORD id) { listenerThreadId.store(id); }
  bool OnListenerThread() const { return GetCurrentThreadId() == listenerThreadId.load(); }

  std::atomic<Status> lastError{kSuccess};
  HANDLE portHandle = nullptr;  // null, not INVALID_HANDLE_VALUE, while closed
  DWORD eventBits = 0xFFFFFFFFu;
  HANDLE ioEvent = nullptr;  // completes the transfers issued without an OVERLAPPED

 private:
  std::atomic<Status> listenerLastError{kSuccess};
  std::atomic<DWORD> listenerThreadId{0};
};

}  // namespace ql
