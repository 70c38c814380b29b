#include "link/link_receiver.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "link/trace.h"

namespace ql {
namespace {

// Buffers up to this size are kept between messages; larger ones are given back.
constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;

// "bytes 40 40", the first bytes of a message for the trace: what came, also
// when the line is at another speed than the handheld.
std::string HexOf(const char* data, std::size_t length) {
  static const char kHex[] = "0123456789abcdef";
  constexpr std::size_t kShown = 16;
  std::string text = "bytes";
  for (std::size_t i = 0; i < std::min(length, kShown); ++i) {
    const auto byte = static_cast<unsigned char>(data[i]);
    text += {' ', kHex[byte >> 4], kHex[byte & 15]};
  }
  if (length > kShown) text += " ...";
  return text;
}

}  // namespace

CLinkReceiver::CLinkReceiver(LinkPort& port, CLinkServer& server, LinkClock& clock,
                             std::size_t maxMessage)
    : gatherer_(port, clock), server_(server), maxMessage_(maxMessage) {}

void CLinkReceiver::Append(const char* data, std::size_t length) {
  if (gathered_ == 0) firstBytes_ = HexOf(data, length);
  gathered_ += length;
  if (!streaming_ && dispatch_ && server_.TakesContents() && gathered_ > kCommandLength) {
    // Longer than a command: upload contents, which go to disk as they come.
    streaming_ = true;
    server_.BeginContents();
    if (receiveCount_ > 0) server_.AddContents(buffer_.get(), receiveCount_);
    receiveCount_ = 0;
  }
  if (streaming_) {
    server_.AddContents(data, length);
  } else {
    Keep(data, length);
  }
}

void CLinkReceiver::Keep(const char* data, std::size_t length) {
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
  gathered_ = 0;
  streaming_ = false;
  if (capacity_ > kKeptCapacity) {
    buffer_.reset();
    capacity_ = 0;
  } else if (buffer_) {
    buffer_.get()[0] = 0;
  }
}

std::size_t CLinkReceiver::GatherMessage(Status* readError) {
  Status failure = kSuccess;
  const auto outcome = gatherer_.Gather(
      [&](const char* data, std::size_t length) {
        Append(data, length);
        LinkActivity progress(LinkActivity::Kind::kReceiving);
        progress.bytes = gathered_;
        server_.Report(progress);
      },
      0, &failure);
  if (readError != nullptr) *readError = failure;
  if (outcome == MessageGatherer::Outcome::kReadError) {
    Trace("Unable to read from COM-port.");
    // Half a message is never served, nor kept to be put before the next one.
    if (gathered_ > 0) server_.CutShort(gathered_, failure);
    ClearMessage();
    return 0;
  }
  if (gathered_ == 0) return 0;
  if (streaming_) {
    Trace("comtest");
    TraceNumber(static_cast<long long>(gathered_));
    Trace(firstBytes_.c_str());
    server_.EndContents();
    ClearMessage();
    return 0;
  }
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
  dispatch_ = dispatch;
  const std::size_t length = GatherMessage(&served.readError);
  dispatch_ = true;
  if (length == 0 || !dispatch) return served;
  Trace("comtest");
  TraceNumber(static_cast<long long>(length));
  Trace(HexOf(buffer_.get(), length).c_str());
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
