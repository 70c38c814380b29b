// Finds the handheld's speed from what arrives. The handheld always speaks
// first, and at another speed its messages arrive garbled in a way that can
// be worked out (see uart_line.h): a command sent at speed T reads at the
// listening speed S as one fixed string of bytes. So a message that makes no
// command is compared with those strings for every other speed: an exact
// match names the speed; else the speed whose strings (or the start of a
// path, "C:\") agree longest with the start of the message; else, with no
// agreement at all, the next speed in turn. A plausible path ("C:\...") is no
// reason to move: it is what arrives 500 ms after a command once the speed is
// right. A command that decodes settles the speed; two messages in a row
// that make no command unsettle it again (one alone is a stray).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/link_activity.h"

namespace ql {

class SpeedFinder {
 public:
  enum class Step {
    kStay,    // listen on at Speed()
    kMove,    // listen at Speed() from now on, a new one
    kSettle,  // a command decoded at Speed(): the first since the start or a move
  };

  // `speeds` in the order they are tried; `start` is listened at first (added
  // in front when it is none of them).
  SpeedFinder(std::vector<std::uint32_t> speeds, std::uint32_t start);

  // Takes each activity of the server, as reported at Speed().
  Step Take(const LinkActivity& activity);

  std::uint32_t Speed() const { return speed_; }
  // Whether it has moved since the start.
  bool Moved() const { return moved_; }

  // The speed a message that makes no command was most plausibly sent at when
  // read at `listening`; `listening` itself for a plausible path; 0 when no
  // speed fits better than another.
  std::uint32_t MostPlausibleSender(const std::string& message, std::uint32_t listening) const;

 private:
  Step MoveFor(const std::string& message);
  std::uint32_t NextInTurn(std::uint32_t after) const;

  std::vector<std::uint32_t> speeds_;
  std::uint32_t speed_;
  bool moved_ = false;
  bool settled_ = false;
  std::string unsettling_;  // a message that made no command since it settled
  bool unsettled_ = false;  // such a message came
};

}  // namespace ql
