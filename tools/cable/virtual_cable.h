// A null-modem cable without hardware: two pseudo terminals whose master
// sides a relay thread joins, so that whatever one end's program writes, the
// other end's program reads. Each end is a device path (a symbolic link to
// its pseudo terminal) that a serial program opens like /dev/ttyUSB0.
//
// Each end runs at the speed its program set on its terminal (8N1, ten bits a
// byte). When the two speeds differ, an end reads what its UART would make of
// the other's bytes (link/uart_line.h), framing errors as zero bytes. Paced,
// bytes take their time on the line, and the relay takes a sender's bytes no
// faster than its line sends them, less a FIFO's worth; unpaced, they arrive
// at once, as garbled as paced. Noise flips bits at a given rate.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "link/uart_line.h"

namespace ql {

struct CableOptions {
  bool paced = false;           // bytes take their line time; unpaced, they move at once
  double bitErrorRate = 0;      // the chance that a bit sent arrives flipped
  std::uint64_t noiseSeed = 1;  // the same seed flips the same bits
};

class VirtualCable {
 public:
  enum End { kServerEnd = 0, kHandheldEnd = 1 };
  using Clock = std::chrono::steady_clock;

  // What one end's program has set and been given so far.
  struct EndState {
    std::uint32_t baud = 0;  // as its program set it; 0 while unplugged
    std::uint64_t bytesReceived = 0;
    std::uint64_t framingErrors = 0;  // among the bytes received
    Clock::time_point lastReceived;   // when the last of them was handed to it
  };

  // Makes both ends as "server-tty" and "handheld-tty" in `folder`; null with
  // `error` set when the system has no pseudo terminals to spare.
  static std::unique_ptr<VirtualCable> Create(const std::string& folder, std::string& error,
                                              const CableOptions& options = {});
  // Both ends at the device paths given.
  static std::unique_ptr<VirtualCable> Create(const std::array<std::string, 2>& paths,
                                              std::string& error, const CableOptions& options);

  ~VirtualCable();
  VirtualCable(const VirtualCable&) = delete;
  VirtualCable& operator=(const VirtualCable&) = delete;

  const std::string& DevicePath(End end) const { return plugs_[end].link; }
  // The pseudo terminal behind an end's device path.
  const std::string& Terminal(End end) const { return plugs_[end].terminal; }
  EndState State(End end) const;

  // Pulls one end's plug: the program on it sees a hang-up, its device path
  // disappears, and bytes on their way to it are lost.
  void Unplug(End end);
  // A fresh device behind the same path; with `anotherTerminal`, under another
  // real path, as a USB adapter may come back as /dev/ttyUSB1 instead of 0.
  bool Replug(End end, std::string& error, bool anotherTerminal = false);

 private:
  struct Plug {
    int master = -1;
    int slave = -1;  // kept open, so the master never reads a hang-up between programs,
                     // and so that the relay reads the speed its program set
    std::string link;
    std::string terminal;  // the pseudo terminal the link names, kept after a close
    std::string pending;   // bytes read by this end's UART, for its program
    std::atomic<std::uint32_t> baud{0};
    std::atomic<std::uint64_t> bytesReceived{0};
    std::atomic<std::uint64_t> framingErrors{0};
    std::atomic<Clock::rep> lastReceived{0};
  };

  // A byte the receiving UART has read, due to its program at `due`.
  struct Arrival {
    Clock::time_point due;
    char byte;
  };

  // The line from one end's transmitter to the other end's receiver.
  struct Line {
    int from = 0;
    Clock::time_point freeAt;  // when the bytes taken so far have all been sent
    bool burstOpen = false;    // bytes sent back to back since `burstStart`
    Clock::time_point burstStart;
    std::uint64_t burstBits = 0;
    std::uint32_t senderBaud = 0;
    std::uint32_t receiverBaud = 0;
    std::optional<BurstReader> reader;  // when the bits can read other than sent
    std::deque<Arrival> arriving;
    std::mt19937_64 noise;
    std::uint64_t bitsBeforeFlip = 0;
  };

  explicit VirtualCable(const CableOptions& options);
  bool Open(Plug& plug, std::string& error, const std::string& avoid = "");
  static void Close(Plug& plug);
  void StartRelay();
  void StopRelay();
  void Relay();
  void ResetLines();

  std::uint32_t LineSpeed(Plug& plug);
  std::size_t Room(const Line& line, Clock::time_point now) const;
  Clock::time_point NextWake(const Line& line, Clock::time_point now) const;
  void Take(Line& line, Clock::time_point now);
  void EndBurst(Line& line);
  void Deliver(Line& line, const ReadByte& byte);
  void Flush(Line& line, Clock::time_point now);
  void WriteOut(Plug& to);
  std::uint16_t Noisy(Line& line, std::uint16_t frame);

  CableOptions options_;
  std::array<Plug, 2> plugs_;
  std::array<Line, 2> lines_;  // lines_[end] carries what `end` sends
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::thread relay_;
};

}  // namespace ql
