// Turns arrival notifications into whole messages and hands each message to
// the server: a 2-byte message is a command, any other length is data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "link/link_clock.h"
#include "link/link_port.h"
#include "link/link_server.h"
#include "link/message_gatherer.h"

namespace ql {

class CLinkReceiver {
 public:
  // Longest message kept in memory; a longer one is discarded whole. Upload
  // contents, the only long messages, go to disk as they arrive instead.
  static constexpr std::size_t kMaxMessage = std::size_t{64} << 10;

  CLinkReceiver(LinkPort& port, CLinkServer& server, LinkClock& clock,
                std::size_t maxMessage = kMaxMessage);

  // What serving one arrival came to. A nonzero code is the port's status of
  // the call that failed: the read (nothing was served), or the send that cut
  // the answer short.
  struct Served {
    Status readError = kSuccess;
    Status sendError = kSuccess;
  };

  // Handles one arrival notification. Only tag 0 is served. Returns 0, the
  // window procedure's answer.
  long OnSerialEvent(std::uintptr_t event, std::uintptr_t tag);
  // Gathers the message that is arriving and serves it.
  Served ServeArrival();

  // Appends arriving bytes until the line is quiet; the receive count when
  // this call read a message to serve, else 0. A read that fails ends the
  // message: what had come is thrown away, never stored nor put before the
  // next message; its status goes to `readError` when one is given.
  std::size_t GatherMessage(Status* readError = nullptr);

  std::size_t receiveCount() const { return receiveCount_; }
  // The gathered bytes, followed by a zero byte.
  const char* receiveBuffer() const { return buffer_ ? buffer_.get() : ""; }

 private:
  struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
  };

  Served Serve(bool dispatch);
  void Append(const char* data, std::size_t length);
  void Keep(const char* data, std::size_t length);
  void ClearMessage();

  MessageGatherer gatherer_;
  CLinkServer& server_;
  std::size_t maxMessage_;
  // Grown with realloc, which moves large blocks without copying them, so a
  // message costs about its own size in memory.
  std::unique_ptr<char, FreeDeleter> buffer_;
  std::size_t capacity_ = 0;
  std::size_t receiveCount_ = 0;
  std::size_t discarded_ = 0;   // bytes of a message that is too long, 0 otherwise
  std::uint64_t gathered_ = 0;  // bytes of the message so far, however kept
  bool dispatch_ = true;        // the message being gathered is to be served
  bool streaming_ = false;      // the message is upload contents, going to disk
  std::string firstBytes_;      // of a streamed message, for the trace
};

}  // namespace ql
