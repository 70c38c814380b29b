// The desktop's end of the link, put together in one place for every front
// end: the server that answers the handheld and the receiver that gathers
// its messages, on one port, file system and clock, reporting through one
// activity sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "link/file_system.h"
#include "link/link_activity.h"
#include "link/link_clock.h"
#include "link/link_port.h"
#include "link/link_receiver.h"
#include "link/link_server.h"

namespace ql {

class DesktopLink {
 public:
  DesktopLink(LinkPort& port, FileSystem& fileSystem, LinkClock& clock,
              std::size_t maxMessage = CLinkReceiver::kMaxMessage)
      : server_(port, fileSystem, clock), receiver_(port, server_, clock, maxMessage) {}
  DesktopLink(const DesktopLink&) = delete;
  DesktopLink& operator=(const DesktopLink&) = delete;

  // Receives a report of every exchange served; none by default.
  void SetActivitySink(ActivitySink sink) { server_.SetActivitySink(std::move(sink)); }

  // Gathers the message that is arriving and answers it; what the port said
  // when it failed the read or cut the answer short.
  CLinkReceiver::Served ServeArrival() { return receiver_.ServeArrival(); }
  // The same for the Windows program's arrival notification; 0, the window
  // procedure's answer.
  long OnSerialEvent(std::uintptr_t event, std::uintptr_t tag) {
    return receiver_.OnSerialEvent(event, tag);
  }

 private:
  CLinkServer server_;
  CLinkReceiver receiver_;
};

}  // namespace ql
