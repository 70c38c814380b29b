// The operations the link protocol needs from its serial port.
#pragma once

#include <cstdint>

#include "link/status.h"

namespace ql {

class LinkPort {
 public:
  virtual ~LinkPort() = default;

  // Reads up to `length` bytes of what the port holds now; never waits for more.
  virtual Status ReceiveBytes(void* buffer, std::uint32_t length, std::uint32_t* count) = 0;
  // Sends the characters of a zero-terminated text without its terminator.
  virtual Status SendText(const char* text) = 0;
  // Sends a payload in writes of at most 1024 bytes, back to back.
  virtual Status SendBlocks(const void* data, std::uint32_t length) = 0;
  // Throws away whatever waits in the port's input and output queues.
  virtual Status DiscardBuffers() = 0;
  // Throws away what has arrived only, for a sender whose last bytes may
  // still be on their way out.
  virtual Status DiscardInput() { return DiscardBuffers(); }
  // Waits at most `timeoutMs` for bytes to arrive (or for the port to fail,
  // which the next read tells); false when the port cannot wait, and the
  // caller sleeps instead.
  virtual bool WaitReadable(int /*timeoutMs*/) { return false; }
  // Waits until what was sent has left the port, for a sender that must know
  // (the handheld's side after an upload); a port that cannot tell returns at once.
  virtual Status Drain() { return kSuccess; }
};

}  // namespace ql
