// The handheld's serial line on a POSIX terminal device: raw 8N1 without flow
// control, opened for this process alone, reads that return at once, sends
// bounded in time, and a wake that any thread or a signal handler can give.
// Every failure is the errno of the call that failed; 0 is success.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "link/link_port.h"

namespace ql {

class PosixSerialLine final : public LinkPort {
 public:
  enum class WaitResult { kReadable, kHungUp, kWoken, kTimedOut };

  // A send that moves no byte for this long finds the line stalled (the other
  // end reads nothing) and ends with ETIMEDOUT. At 19200 baud a full queue of
  // a few kilobytes drains in about a second.
  static constexpr int kSendStallMs = 5000;

  // Throws std::system_error when the wake pipe cannot be made.
  PosixSerialLine();
  ~PosixSerialLine() override;
  PosixSerialLine(const PosixSerialLine&) = delete;
  PosixSerialLine& operator=(const PosixSerialLine&) = delete;

  // Opens `path` for this process alone and sets the line to raw 8N1 without
  // flow control, the lines DTR and RTS down. EBUSY or EWOULDBLOCK: another
  // program holds it; EALREADY: this line is open already.
  int Open(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  // Sets both directions to `baud`; a speed the device does not take (EINVAL)
  // leaves the line as it was.
  int SetSpeed(std::uint32_t baud);
  // The output speed in baud; 0 when closed or not one of the known speeds.
  std::uint32_t Speed() const;
  // Framing, parity and break errors the driver has counted since the line
  // was opened (bytes sent at another speed make them); -1 where the system
  // does not count them (pseudo terminals, macOS).
  long long LineErrorCount() const;

  // Waits up to `timeoutMs` (negative: without bound) until bytes wait to be
  // read, the device hangs up or the line is woken. A closed line waits for
  // the wake alone.
  WaitResult WaitFor(int timeoutMs);
  // Any thread, also a signal handler: every wait from now on ends woken, a
  // send under way and every later transfer with ECANCELED. A program that is
  // quitting moves no more bytes; the line stays woken for its whole life.
  void Wake();

  // Reads what the device holds now. After a hang-up, the bytes that arrived
  // before it are read first; then EIO.
  Status ReceiveBytes(void* buffer, std::uint32_t length, std::uint32_t* count) override;
  Status SendText(const char* text) override;
  Status SendBlocks(const void* data, std::uint32_t length) override;
  // Throws away what waits in both directions.
  Status DiscardBuffers() override;
  Status DiscardInput() override;
  bool WaitReadable(int timeoutMs) override;
  // Waits until the device's output queue is empty; ECANCELED once woken,
  // ETIMEDOUT when it moves no byte for kSendStallMs.
  Status Drain() override;
  // Sleeps `ms`, or less when the line is woken; false then.
  bool Pause(int ms);

 private:
  Status Send(const void* data, std::size_t length);

  // Lock-free, so that a signal handler may set it; the pipe wakes a poll.
  static_assert(std::atomic<bool>::is_always_lock_free, "Wake must be safe in a signal handler");
  std::atomic<bool> woken_{false};

  int fd_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
};

}  // namespace ql
