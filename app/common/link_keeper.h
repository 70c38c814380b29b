// The life of the link's port, the same in the tray program and in the
// terminal program: opened when the user starts the link, closed when they
// stop it, and, should it go away while the link runs, closed, said so and
// tried again every 2 s until it is back or the user stops. The server keeps
// its state all the while. The keeper only decides; its front end opens and
// closes the port, runs the timer and shows the texts it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/common/status_texts.h"
#include "link/status.h"

namespace ql {

class LinkKeeper {
 public:
  enum class State {
    kStopped,  // the user has not started the link, or stopped it, or the first open failed
    kOpen,     // the port is open and served
    kLost,     // the link runs but its port went away: tried again at each retry
  };

  // How the port stands, for the tray icon.
  enum class Look { kUnchanged, kOpen, kFailed, kClosed };

  // What the front end is to do after an event, in this order: close the
  // port, show the text and the look, set or cancel the retry timer, and
  // last open the port and report the outcome with Opened().
  struct Orders {
    bool close = false;
    std::string status;  // the status line's new text; empty: unchanged
    Look look = Look::kUnchanged;
    enum class Retry { kUnchanged, kArm, kCancel } retry = Retry::kUnchanged;
    std::int64_t retryInMs = 0;  // with kArm: call Tick() after this long
    bool open = false;
  };

  static constexpr std::int64_t kRetryIntervalMs = kReopenIntervalMs;

  // `openProblem` says in a few words why an open failed with a status code:
  // the platform's errno or system code.
  explicit LinkKeeper(std::function<std::string(Status)> openProblem);

  // The user starts the link on `port` (its name in the texts: "COM7",
  // "/dev/ttyUSB0"). Nothing while it runs already.
  Orders Start(const std::string& port);
  // The user stops the link. Nothing while it is stopped.
  Orders Stop();
  // The open that the last orders asked for ended with `status` (0: open);
  // `generation` names that open for the Lost() reports it may bring.
  Orders Opened(Status status, std::uint32_t generation);
  // The port of open `generation` failed with `status`. Reports of an
  // earlier open, or while the port is not open, are stale and ignored.
  Orders Lost(Status status, std::uint32_t generation, std::int64_t nowMs);
  // The retry timer ran out: reopens when due, else sets the timer again.
  Orders Tick(std::int64_t nowMs);

  State state() const { return state_; }
  // The port the link was started on.
  const std::string& Port() const { return port_; }
  // Whether the link runs: the user started it and has not stopped it.
  bool Running() const { return state_ != State::kStopped; }
  // Until the next open is due; -1 when none is.
  std::int64_t MsUntilRetry(std::int64_t nowMs) const;
  // Why the port went away, while it is lost.
  Status LostBecause() const { return lostBecause_; }

 private:
  std::function<std::string(Status)> openProblem_;
  State state_ = State::kStopped;
  std::string port_;
  bool opening_ = false;  // an open was ordered and its outcome is still to come
  std::uint32_t generation_ = 0;
  std::int64_t retryAtMs_ = 0;
  Status lostBecause_ = kSuccess;
};

}  // namespace ql
