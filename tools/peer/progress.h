// A transfer as it goes: a live line on standard error when that is a
// terminal (percent, rate, time left), and a summary for the closing line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "app/terminal/terminal_output.h"

namespace ql {

class Progress {
 public:
  // `total`: the bytes the transfer will move.
  explicit Progress(std::uint64_t total);
  ~Progress() = default;
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Update(std::uint64_t bytes);
  // Removes the live line, before whatever is printed next.
  void Clear();
  // "5000 bytes", with " in 2.6 s (1.9 KB/s)" when the rate means something.
  std::string Summary() const;

 private:
  using Clock = std::chrono::steady_clock;

  double Seconds() const;
  // Bytes a second after the first piece, or 0 while no rate means anything.
  double Rate() const;
  void Draw();

  std::uint64_t total_;
  TerminalLines lines_;
  std::uint64_t bytes_ = 0;
  std::uint64_t firstBytes_ = 0;
  Clock::time_point first_{};
  Clock::time_point last_{};
  Clock::time_point lastDrawn_{};
};

}  // namespace ql
