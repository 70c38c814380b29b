#include "link/link_receiver.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "link/trace.h"

namespace ql {
namespace {

// Buffers up to this size are kept between messages; larger ones are given back.
constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;

}  // namespace

CLinkReceiver::CLinkReceiver(LinkPort& port, CLinkServer& server, LinkClock& clock,
                             std::size_t maxMessage)
    : gatherer_(port, clock), server_(server), maxMessage_(maxMessage) {}

void CLinkReceiver::Append(const char* data, std::size_t length) {
  if (discarded_ == 0 && receiveCount_ + length <= maxMessage_) {
    const std::size_t needed = receiveCount_ + length + 1;  // room for the terminating zero
    if (needed > capacity_) {
      const std::size_t grown = std::min(std::max(needed, capacity_ * 2), maxMessage_ + 1);
      if (char* moved = static_cast<char*>(std::realloc(buffer_.get(), grown))) {
        static_cast<void>(buffer_.release());
        buffer_.reset(moved);
        capacity_ = grown;
      }
    }
    if (needed <= capacity_) {
      std::memcpy(buffer_.get() + receiveCount_, data, length);
      receiveCount_ += length;
      buffer_.get()[receiveCount_] = 0;
      return;
    }
  }
  // Too long to keep, or no memory for it: the whole message goes.
  discarded_ += receiveCount_ + length;
  receiveCount_ = 0;
}

void CLinkReceiver::ClearMessage() {
  receiveCount_ = 0;
  discarded_ = 0;
  if (capacity_ > kKeptCapacity) {
    buffer_.reset();
    capacity_ = 0;
  } else if (buffer_) {
    buffer_.get()[0] = 0;
  }
}

std::size_t CLinkReceiver::GatherMessage(Status* readError) {
  bool gotBytes = false;
  const auto outcome = gatherer_.Gather(
      [&](const char* data, std::size_t length) {
        gotBytes = true;
        Append(data, length);
        LinkActivity progress(LinkActivity::Kind::kReceiving);
        progress.bytes = receiveCount_ + discarded_;
        server_.Report(progress);
      },
      0, readError);
  if (outcome == MessageGatherer::Outcome::kReadError) {
    Trace("Unable to read from COM-port.");
    return 0;
  }
  if (!gotBytes) return 0;
  if (discarded_ > 0) {
    Trace(("Message of " + std::to_string(discarded_) + " bytes is too long and was discarded.")
              .c_str());
    LinkActivity dropped(LinkActivity::Kind::kMessageDiscarded);
    dropped.bytes = discarded_;
    server_.Report(dropped);
    server_.DiscardMessage();
    ClearMessage();
    return 0;
  }
  return receiveCount_;
}

CLinkReceiver::Served CLinkReceiver::Serve(bool dispatch) {
  Served served;
  const std::size_t length = GatherMessage(&served.readError);
  if (length == 0 || !dispatch) return served;
  Trace("comtest");
  TraceNumber(static_cast<long long>(length));
  served.sendError = server_.Serve(buffer_.get(), length);
  ClearMessage();
  return served;
}

long CLinkReceiver::OnSerialEvent(std::uintptr_t /*event*/, std::uintptr_t tag) {
  Serve(tag == 0);
  return 0;
}

CLinkReceiver::Served CLinkReceiver::ServeArrival() { return Serve(true); }

}  // namespace ql
