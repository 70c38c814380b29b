// Cuts the bytes arriving on the link port into messages (a message ends when
// the line has been quiet for 215 ms) and hands each one to the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/link_clock.h"
#include "link/link_port.h"
#include "link/link_server.h"

namespace ql {

class CLinkReceiver {
 public:
  // Longest message kept; a longer one is discarded whole.
  static constexpr std::size_t kMaxMessage = 64u << 20;
  // How often the port is looked at while the line is quiet.
  static constexpr int kPollIntervalMs = 10;

  CLinkReceiver(LinkPort& port, CLinkServer& server, LinkClock& clock,
                std::size_t maxMessage = kMaxMessage);

  // Handles one arrival notification: gathers a message and dispatches it.
  // Only tag 0 is served. Returns 0, the window procedure's answer.
  long OnSerialEvent(std::uintptr_t event, std::uintptr_t tag);

  // Appends arriving bytes until the line is quiet; the receive count when
  // this call read anything, else 0.
  std::size_t GatherMessage();

  std::size_t receiveCount() const { return receiveCount_; }
  const std::vector<char>& receiveBuffer() const { return buffer_; }

 private:
  void Append(const char* data, std::size_t length);
  void ClearMessage();

  LinkPort& port_;
  CLinkServer& server_;
  LinkClock& clock_;
  std::size_t maxMessage_;
  std::vector<char> buffer_;  // always holds receiveCount_ bytes and a zero after them
  std::size_t receiveCount_ = 0;
  bool overflowed_ = false;
};

}  // namespace ql
