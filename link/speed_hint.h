// When to tell the person at the desktop that the handheld is probably set
// to another speed: bytes at the wrong speed arrive as messages that make no
// command, and as framing errors. One such message can be a stray (contents
// that arrive after a restart); several with no exchange completed between
// them cannot. A bare drive name ("C:"), which the line cannot tell from a
// command, is no sign either way.
#pragma once

#include "link/link_activity.h"

namespace ql {

class SpeedHint {
 public:
  // Messages that make no command, with no exchange completed between them,
  // before the hint is given.
  static constexpr int kGarbledMessages = 3;

  // Takes each activity of the server; true when the hint is due now: once
  // for each run of garbled input.
  bool Due(const LinkActivity& activity);

 private:
  int garbled_ = 0;
  bool given_ = false;
};

}  // namespace ql
