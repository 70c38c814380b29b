// A transfer's pace, measured once for both terminal programs: its rate once
// one means something, the time left, and when a progress line is due. The
// programs only put the figures into words.
#pragma once

#include <chrono>
#include <cstdint>

namespace ql {

class TransferMeter {
 public:
  using Clock = std::chrono::steady_clock;

  // `total`: the bytes the transfer will move, 0 when not known. A progress
  // line is due once the transfer has lasted `showAfter`, then every `redraw`.
  TransferMeter(std::uint64_t total, Clock::duration showAfter, Clock::duration redraw);

  // The bytes moved so far, at `now`; true when a progress line is due.
  bool Update(std::uint64_t bytes, Clock::time_point now = Clock::now());

  std::uint64_t Bytes() const { return bytes_; }
  std::uint64_t Total() const { return total_; }
  // From the first piece to the last.
  double Seconds() const;
  // Bytes a second after the first piece, or 0 while no rate means anything.
  double Rate() const;
  // Whole seconds left at that rate; -1 while not known.
  std::int64_t SecondsLeft() const;

 private:
  std::uint64_t total_;
  Clock::duration showAfter_;
  Clock::duration redraw_;
  bool started_ = false;
  std::uint64_t bytes_ = 0;
  std::uint64_t firstBytes_ = 0;
  Clock::time_point first_{};
  Clock::time_point last_{};
  Clock::time_point lastDue_{};
};

}  // namespace ql
