// The activity log of quarnelix-link: one line per exchange, with the local
// time, in words a person reads at a glance; on a terminal also a live
// progress line while a long transfer runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/terminal/terminal_output.h"
#include "app/terminal/transfer_meter.h"
#include "link/link_activity.h"
#include "link/speed_hint.h"

namespace ql {

// Why the disk or the line failed, from the system's code, as a clause for a
// sentence: "the disk is full", "the line was lost".
std::string DiskProblem(Status code);
std::string LineProblem(Status code);

class ActivityLog {
 public:
  // A handheld path or name made fit for the terminal (code page to UTF-8,
  // controls escaped).
  using PathShower = std::function<std::string(const std::string& handheldText)>;
  // The host file behind a handheld path, for stored uploads.
  using HostPathOf = std::function<std::string(const std::string& handheldPath)>;

  // Lines, and on a terminal progress, go to `lines`; `baud` is the line's speed.
  ActivityLog(TerminalLines& lines, std::uint32_t baud, PathShower show, HostPathOf hostPathOf);

  void Show(const LinkActivity& activity);
  // Only the hint that the handheld is at another speed is shown, no exchange.
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  // The server finds the speed itself and says so: no hint to choose another.
  void SetFindingSpeed(bool finding) { findingSpeed_ = finding; }

  // A transfer shows progress once it has lasted this long.
  static constexpr std::chrono::milliseconds kProgressAfter{1000};

 private:
  void Line(const std::string& text);
  // The drive of `path` is not served: its folder was replaced.
  std::string DriveReplaced(const std::string& path) const;
  void Progress(const LinkActivity& activity);

  TerminalLines& lines_;
  std::uint32_t baud_;
  bool quiet_ = false;
  bool findingSpeed_ = false;
  SpeedHint speedHint_;
  PathShower show_;
  HostPathOf hostPathOf_;
  std::optional<TransferMeter> meter_;  // of the transfer under way
};

}  // namespace ql
