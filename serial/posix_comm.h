// The few Win32 communications calls the port object makes, rebuilt on
// termios, so that its operations read the same on every system. The
// device's settings live in an emulated DCB that is pushed to termios
// whenever it changes; only what termios can hold reaches the device.
#pragma once

#include <cstdint>

#include "serial/serial_types.h"

namespace ql {

using BOOL = int;
using BYTE = std::uint8_t;
using DWORD = std::uint32_t;

constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

struct DCB {
  DWORD DCBlength = 0;
  DWORD BaudRate = 0;
  DWORD fParity = 0;
  DWORD fOutxCtsFlow = 0;
  DWORD fOutxDsrFlow = 0;
  DWORD fDtrControl = DTR_CONTROL_DISABLE;
  DWORD fRtsControl = RTS_CONTROL_DISABLE;
  DWORD fOutX = 0;
  DWORD fInX = 0;
  BYTE ByteSize = 8;
  BYTE Parity = 0;
  BYTE StopBits = 0;
  char EvtChar = 0;
};

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout = 0;
  DWORD ReadTotalTimeoutMultiplier = 0;
  DWORD ReadTotalTimeoutConstant = 0;
  DWORD WriteTotalTimeoutMultiplier = 0;
  DWORD WriteTotalTimeoutConstant = 0;
};

// The status code of the calling thread's last failed call.
DWORD GetLastError();

BOOL GetCommState(PortHandle port, DCB* dcb);
BOOL SetCommState(PortHandle port, const DCB* dcb);
BOOL GetCommMask(PortHandle port, DWORD* mask);
BOOL SetCommMask(PortHandle port, DWORD mask);
BOOL GetCommTimeouts(PortHandle port, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(PortHandle port, const COMMTIMEOUTS* timeouts);
BOOL PurgeComm(PortHandle port, DWORD flags);
// The terminal driver's queues have fixed sizes: there is nothing to set up.
inline BOOL SetupComm(PortHandle /*port*/, DWORD /*inQueue*/, DWORD /*outQueue*/) { return 1; }
// Line errors (CE_ flags) seen since the last call.
BOOL ClearCommError(PortHandle port, DWORD* errors);

// What Windows would answer for the condition behind an errno value.
Status StatusFromErrno(int error);

// Opens a terminal device for this process alone, in raw mode; null on failure.
PortHandle OpenCommDevice(const char* path);
void CloseCommDevice(PortHandle port);

// A write that moves no byte for this long finds the line stalled (the other
// end reads nothing, or holds it with flow control) and ends with
// kErrorTimeout, whatever its own bound. At 19200 baud a full 2048-byte
// queue drains in about a second.
constexpr DWORD kWriteStallMs = 5000;

// Transfers that complete before they return. `timeoutMs` bounds the whole
// call (kInfinite: no bound); running out gives kErrorTimeout. Reads also
// honour the port's read time-outs, as the driver would. A signalled `abort`
// ends a write at once with kErrorOperationAborted.
Status ReadComm(PortHandle port, void* buffer, DWORD length, DWORD* count, DWORD timeoutMs);
Status WriteComm(PortHandle port, const void* buffer, DWORD length, DWORD* count, DWORD timeoutMs,
                 EventHandle abort);

// Waits until characters arrive (when the mask asks for them) or the device
// goes away (kEvErr), at most `timeoutMs`. A signalled `stop` ends the wait
// with kErrorOperationAborted. After an arrival the next wait begins only
// once the port was read empty, so one arrival is reported once.
Status WaitCommEvent(PortHandle port, DWORD* events, EventHandle stop, DWORD timeoutMs);

// Manual-reset events that poll() can wait on.
EventHandle CreateManualResetEvent();
void CloseEvent(EventHandle event);
void SetEvent(EventHandle event);
void ResetEvent(EventHandle event);
// 0 when signalled, kErrorTimeout when the time ran out.
Status WaitForEvent(EventHandle event, DWORD timeoutMs);

}  // namespace ql
