// The handheld's side of the link: sends commands and paths with the pauses the
// desktop relies on, and takes its answers message by message.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "link/link_clock.h"
#include "link/link_port.h"
#include "link/message_gatherer.h"
#include "link/wire_format.h"

namespace ql {

// Told the number of bytes moved so far while a payload travels.
using ProgressSink = std::function<void(std::uint64_t bytes)>;

class PeerSession {
 public:
  enum class Result {
    kDone,
    kNoAnswer,   // not even an echo: no server, wrong speed, bad cable, or (get) no such file
    kEchoOnly,   // the echo alone: nothing matched (ls), an empty or unreadable file (get)
    kBadAnswer,  // bytes that are not what the exchange sends
    kLineError,  // the port failed: the device went away
  };

  // Well past the quiet interval, so that a command and its path are two
  // messages even when a busy machine or a relay delays the command's bytes.
  static constexpr int kCommandPauseMs = 500;
  // Past the desktop's own pause after an upload name.
  static constexpr int kUploadNamePauseMs = 700;
  // How long the desktop may take to begin an answer.
  static constexpr int kEchoWaitMs = 3000;
  // The desktop pauses after its echo; listing a folder or opening a file adds a little.
  static constexpr int kPayloadWaitMs = 2000;

  // Every pause is `clock`'s: one that ends when the program is asked to quit
  // lets no wait outlast Ctrl+C. `baud` is the line's speed.
  PeerSession(LinkPort& port, LinkClock& clock, std::uint32_t baud);

  // "@@", the pattern: the entries it matches.
  Result List(const std::string& pattern, std::vector<FindEntry>& entries);
  // "@&", the path: the file's bytes.
  Result Get(const std::string& path, std::string& contents, const ProgressSink& progress);
  // "&&", the path, the contents. The desktop never answers an upload; the
  // call returns once the contents have left the port and the quiet
  // interval has passed behind them.
  Result Put(const std::string& path, const std::string& contents, const ProgressSink& progress);

 private:
  Result Request(const char* command, const std::string& text);
  Result Answer(std::string& message, std::int64_t waitMs, const ProgressSink& progress);
  Result Expect(const char* echo);
  bool Send(const void* data, std::size_t length);

  LinkPort& port_;
  LinkClock& clock_;
  std::uint32_t baud_;
  MessageGatherer gatherer_;
};

}  // namespace ql
