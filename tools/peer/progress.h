// A transfer as it goes: a live line on standard error when that is a
// terminal (percent, rate, time left), and a summary for the closing line.
#pragma once

#include <cstdint>
#include <string>

#include "app/terminal/terminal_output.h"
#include "app/terminal/transfer_meter.h"

namespace ql {

class Progress {
 public:
  // `total`: the bytes the transfer will move.
  explicit Progress(std::uint64_t total);

  void Update(std::uint64_t bytes);
  // Removes the live line, before whatever is printed next.
  void Clear();
  // "5000 bytes", with " in 2.6 s (1.9 KB/s)" when the rate means something.
  std::string Summary() const;

 private:
  void Draw();

  TransferMeter meter_;
  TerminalLines lines_;
};

}  // namespace ql
