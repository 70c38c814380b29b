// Types and codes of the Windows serial port object.
#pragma once

#include <windows.h>

#include <cstdint>

#include "link/status.h"

namespace ql {

// Status codes besides kSuccess: the system's own, and the object's few of its own.
constexpr Status kErrorFileNotFound = 2;
constexpr Status kErrorAccessDenied = 5;
constexpr Status kErrorInvalidHandle = 6;
constexpr Status kErrorNotEnoughMemory = 8;
constexpr Status kErrorAlreadyInitialized = 1247;
constexpr Status kErrorTimeout = 1460;
constexpr Status kErrorOperationAborted = 995;
constexpr Status kErrorInvalidArg = static_cast<Status>(0x80070057u);

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// Comm event bits.
constexpr std::uint32_t kEvRxChar = 0x0001;
constexpr std::uint32_t kEvRxFlag = 0x0002;
constexpr std::uint32_t kEvBreak = 0x0040;
constexpr std::uint32_t kEvErr = 0x0080;
constexpr std::uint32_t kDefaultWatchMask = kEvRxChar | kEvBreak | kEvErr;

// Line error flags, as reported by ClearCommError.
constexpr std::uint32_t kCeRxOver = 0x0001;
constexpr std::uint32_t kCeOverrun = 0x0002;
constexpr std::uint32_t kCeRxParity = 0x0004;
constexpr std::uint32_t kCeFrame = 0x0008;
constexpr std::uint32_t kCeBreak = 0x0010;

// Parity and stop bits take the system's values.
constexpr std::int32_t kNoParity = 0;
constexpr std::int32_t kOddParity = 1;
constexpr std::int32_t kEvenParity = 2;
constexpr std::int32_t kMarkParity = 3;
constexpr std::int32_t kSpaceParity = 4;
constexpr std::uint8_t kOneStopBit = 0;
constexpr std::uint8_t kOne5StopBits = 1;
constexpr std::uint8_t kTwoStopBits = 2;

enum FlowMode : std::int32_t { FlowNone = 0, FlowHardware = 1, FlowXonXoff = 2 };
enum ReadMode : std::int32_t { ReadNonBlocking = 0, ReadBlocking = 1 };

using PortHandle = HANDLE;
using EventHandle = HANDLE;
using ThreadHandle = HANDLE;
using NotifyTarget = HWND;
using CompletionRecord = OVERLAPPED;
// The system's thread ids; 0 names no thread.
using ThreadId = DWORD;
inline ThreadId CurrentThreadId() { return GetCurrentThreadId(); }

}  // namespace ql
