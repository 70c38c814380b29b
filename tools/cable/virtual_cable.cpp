#include "tools/cable/virtual_cable.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#ifdef __APPLE__
#include <util.h>
#else
#include <pty.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace ql {
namespace {

constexpr const char* kEndNames[] = {"server-tty", "handheld-tty"};
// Past this many bytes waiting for a slow reader, the relay stops reading the writer,
// which then waits as it would on a full serial driver queue.
constexpr std::size_t kMaxPending = std::size_t{64} * 1024;
constexpr double kBitsPerByte = 10;
// Bytes a paced line takes from its sender ahead of sending them: a UART's
// FIFO, or at fast speeds what the line sends in 20 ms, so that a relay woken
// late never leaves the line idle while its sender has bytes waiting.
constexpr std::size_t kFifoBytes = 16;
constexpr double kAheadSeconds = 0.02;

VirtualCable::Clock::duration Seconds(double seconds) {
  return std::chrono::duration_cast<VirtualCable::Clock::duration>(
      std::chrono::duration<double>(seconds));
}

std::size_t InFlightAllowance(std::uint32_t baud) {
  return std::max(kFifoBytes, static_cast<std::size_t>(baud / kBitsPerByte * kAheadSeconds));
}

// A terminal's speed in baud; 0 for B0, which hangs the line up.
std::uint32_t Baud(speed_t speed) {
#ifdef __APPLE__
  return static_cast<std::uint32_t>(speed);
#else
  static constexpr std::pair<speed_t, std::uint32_t> kSpeeds[] = {
      {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
      {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
      {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
      {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
      {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
      {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
      {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
      {B3500000, 3500000}, {B4000000, 4000000},
  };
  for (const auto& [constant, baud] : kSpeeds) {
    if (constant == speed) return baud;
  }
  return 0;
#endif
}

}  // namespace

VirtualCable::VirtualCable(const CableOptions& options) : options_(options) {
  for (int end = 0; end < 2; ++end) {
    lines_[end].from = end;
    lines_[end].noise.seed(options.noiseSeed + static_cast<std::uint64_t>(end));
    if (options.bitErrorRate > 0) {
      lines_[end].bitsBeforeFlip = std::geometric_distribution<std::uint64_t>(
          std::min(options.bitErrorRate, 0.999999))(lines_[end].noise);
    }
  }
}

std::unique_ptr<VirtualCable> VirtualCable::Create(const std::string& folder, std::string& error,
                                                   const CableOptions& options) {
  return Create({folder + "/" + kEndNames[0], folder + "/" + kEndNames[1]}, error, options);
}

std::unique_ptr<VirtualCable> VirtualCable::Create(const std::array<std::string, 2>& paths,
                                                   std::string& error,
                                                   const CableOptions& options) {
  std::unique_ptr<VirtualCable> cable(new VirtualCable(options));
  if (pipe(cable->wake_) != 0) {
    error = std::string("no pipe: ") + std::strerror(errno);
    return nullptr;
  }
  for (int end = 0; end < 2; ++end) {
    cable->plugs_[end].link = paths[end];
    if (!cable->Open(cable->plugs_[end], error)) return nullptr;
  }
  cable->StartRelay();
  return cable;
}

VirtualCable::~VirtualCable() {
  StopRelay();
  for (Plug& plug : plugs_) Close(plug);
  for (const int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

VirtualCable::EndState VirtualCable::State(End end) const {
  const Plug& plug = plugs_[end];
  EndState state;
  state.baud = plug.baud.load();
  state.bytesReceived = plug.bytesReceived.load();
  state.framingErrors = plug.framingErrors.load();
  state.lastReceived = Clock::time_point(Clock::duration(plug.lastReceived.load()));
  return state;
}

bool VirtualCable::Open(Plug& plug, std::string& error, const std::string& avoid) {
  char name[128] = {};
  int held[2] = {-1, -1};
  bool opened = openpty(&plug.master, &plug.slave, name, nullptr, nullptr) == 0;
  if (opened && name == avoid) {
    // Pseudo terminals take the lowest free number: while this one holds it,
    // the next gets another.
    held[0] = plug.master;
    held[1] = plug.slave;
    opened = openpty(&plug.master, &plug.slave, name, nullptr, nullptr) == 0;
  }
  if (!opened) error = std::string("no pseudo terminal: ") + std::strerror(errno);
  for (const int fd : held) {
    if (fd >= 0) close(fd);
  }
  if (!opened) {
    plug.master = plug.slave = -1;
    return false;
  }
  plug.terminal = name;
  // Raw from the start: no echo or line editing before a program sets the line up.
  termios raw{};
  tcgetattr(plug.slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(plug.slave, TCSANOW, &raw);
  fcntl(plug.master, F_SETFL, fcntl(plug.master, F_GETFL) | O_NONBLOCK);
  fcntl(plug.master, F_SETFD, FD_CLOEXEC);
  fcntl(plug.slave, F_SETFD, FD_CLOEXEC);
  unlink(plug.link.c_str());
  if (symlink(name, plug.link.c_str()) != 0) {
    error = "cannot create " + plug.link + ": " + std::strerror(errno);
    Close(plug);
    return false;
  }
  return true;
}

void VirtualCable::Close(Plug& plug) {
  if (plug.master < 0) return;
  unlink(plug.link.c_str());
  close(plug.slave);
  close(plug.master);
  plug.master = plug.slave = -1;
  plug.pending.clear();
}

void VirtualCable::Unplug(End end) {
  StopRelay();
  Close(plugs_[end]);
  ResetLines();
  StartRelay();
}

bool VirtualCable::Replug(End end, std::string& error, bool anotherTerminal) {
  StopRelay();
  Close(plugs_[end]);
  ResetLines();
  const bool opened = Open(plugs_[end], error, anotherTerminal ? plugs_[end].terminal : "");
  StartRelay();
  return opened;
}

// Whatever was on the line when a plug was pulled is lost.
void VirtualCable::ResetLines() {
  for (Line& line : lines_) {
    line.burstOpen = false;
    line.reader.reset();
    line.arriving.clear();
    line.freeAt = Clock::time_point();
  }
}

void VirtualCable::StartRelay() {
  stop_ = false;
  relay_ = std::thread([this] { Relay(); });
}

void VirtualCable::StopRelay() {
  if (!relay_.joinable()) return;
  stop_ = true;
  const char wake = 1;
  // A wake pipe that is full already holds a wake-up for the relay.
  while (write(wake_[1], &wake, 1) < 0 && errno == EINTR) {
  }
  relay_.join();
  char drain[16];
  while (read(wake_[0], drain, sizeof drain) == static_cast<ssize_t>(sizeof drain)) {
  }
}

void VirtualCable::Relay() {
  while (!stop_) {
    auto now = Clock::now();
    for (Plug& plug : plugs_) plug.baud = LineSpeed(plug);
    for (Line& line : lines_) Flush(line, now);
    for (Plug& plug : plugs_) WriteOut(plug);
    pollfd fds[3] = {{wake_[0], POLLIN, 0}, {plugs_[0].master, 0, 0}, {plugs_[1].master, 0, 0}};
    Clock::time_point wake = Clock::time_point::max();
    for (int end = 0; end < 2; ++end) {
      if (Room(lines_[end], now) > 0) fds[1 + end].events |= POLLIN;
      if (!plugs_[end].pending.empty()) fds[1 + end].events |= POLLOUT;
      wake = std::min(wake, NextWake(lines_[end], now));
    }
    int timeoutMs = -1;
    if (wake != Clock::time_point::max()) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
      timeoutMs = static_cast<int>(std::clamp<std::int64_t>(wait, 0, 60000));
    }
    if (poll(fds, 3, timeoutMs) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    now = Clock::now();
    for (int end = 0; end < 2; ++end) {
      if ((fds[1 + end].revents & POLLIN) != 0) Take(lines_[end], now);
    }
  }
}

std::uint32_t VirtualCable::LineSpeed(Plug& plug) {
  termios settings{};
  if (plug.slave < 0 || tcgetattr(plug.slave, &settings) != 0) return 0;
  return Baud(cfgetospeed(&settings));
}

std::size_t VirtualCable::Room(const Line& line, Clock::time_point now) const {
  const Plug& from = plugs_[line.from];
  const Plug& to = plugs_[1 - line.from];
  if (from.master < 0 || to.pending.size() + line.arriving.size() >= kMaxPending) return 0;
  const std::uint32_t baud = from.baud.load();
  if (!options_.paced || baud == 0) return 4096;
  const double queued = std::chrono::duration<double>(line.freeAt - now).count();
  const auto inFlight =
      static_cast<std::size_t>(std::ceil(std::max(0.0, queued) * baud / kBitsPerByte));
  const std::size_t allowance = InFlightAllowance(baud);
  return inFlight < allowance ? allowance - inFlight : 0;
}

VirtualCable::Clock::time_point VirtualCable::NextWake(const Line& line,
                                                       Clock::time_point now) const {
  Clock::time_point wake = Clock::time_point::max();
  if (!line.arriving.empty()) wake = line.arriving.front().due;
  if (line.burstOpen && line.reader) wake = std::min(wake, line.freeAt);
  const std::uint32_t baud = plugs_[line.from].baud.load();
  if (options_.paced && baud != 0 && plugs_[line.from].master >= 0 && Room(line, now) == 0 &&
      line.freeAt > now) {
    // Room for a byte again once all but the allowance less one have gone.
    const double ahead = static_cast<double>(InFlightAllowance(baud) - 1) * kBitsPerByte / baud;
    wake = std::min(wake, std::max(now, line.freeAt - Seconds(ahead)));
  }
  return wake;
}

void VirtualCable::Take(Line& line, Clock::time_point now) {
  Plug& from = plugs_[line.from];
  Plug& to = plugs_[1 - line.from];
  const std::size_t room = Room(line, now);
  if (room == 0) return;
  char chunk[4096];
  const ssize_t got = read(from.master, chunk, std::min(room, sizeof chunk));
  // The speeds as the bytes are sent: a program may have set its own just before.
  const std::uint32_t senderBaud = from.baud = LineSpeed(from);
  const std::uint32_t receiverBaud = to.baud = LineSpeed(to);
  // Bytes sent into an unplugged end, or on a line hung up with speed 0, are lost.
  if (got <= 0 || to.master < 0 || senderBaud == 0 || receiverBaud == 0) return;
  if (line.burstOpen &&
      (now > line.freeAt || senderBaud != line.senderBaud || receiverBaud != line.receiverBaud)) {
    EndBurst(line);
  }
  if (!line.burstOpen) {
    line.burstOpen = true;
    line.burstStart = std::max(now, line.freeAt);
    line.burstBits = 0;
    line.senderBaud = senderBaud;
    line.receiverBaud = receiverBaud;
    if (senderBaud != receiverBaud || options_.bitErrorRate > 0) {
      line.reader.emplace(senderBaud, receiverBaud);
    } else {
      line.reader.reset();
    }
  }
  const auto count = static_cast<std::size_t>(got);
  if (line.reader) {
    std::vector<std::uint16_t> frames;
    frames.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      frames.push_back(Noisy(line, BurstReader::Frame(static_cast<unsigned char>(chunk[i]))));
    }
    std::vector<ReadByte> read;
    line.reader->SendFrames(frames, read);
    for (const ReadByte& byte : read) Deliver(line, byte);
  } else if (!options_.paced) {
    to.pending.append(chunk, count);  // intact and at once: no need to time each byte
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      ReadByte byte;
      byte.value = static_cast<unsigned char>(chunk[i]);
      // Read at the middle of its stop bit.
      byte.stopSampleSeconds =
          (static_cast<double>(line.burstBits) + kBitsPerByte * static_cast<double>(i) + 9.5) /
          senderBaud;
      Deliver(line, byte);
    }
  }
  line.burstBits += static_cast<std::uint64_t>(kBitsPerByte) * count;
  line.freeAt = line.burstStart + Seconds(static_cast<double>(line.burstBits) / senderBaud);
}

void VirtualCable::EndBurst(Line& line) {
  if (line.reader) {
    std::vector<ReadByte> read;
    line.reader->Idle(read);
    for (const ReadByte& byte : read) Deliver(line, byte);
  }
  line.reader.reset();
  line.burstOpen = false;
}

void VirtualCable::Deliver(Line& line, const ReadByte& byte) {
  Plug& to = plugs_[1 - line.from];
  if (byte.framingError) ++to.framingErrors;
  const auto value = static_cast<char>(byte.value);
  if (options_.paced) {
    line.arriving.push_back({line.burstStart + Seconds(byte.stopSampleSeconds), value});
  } else {
    to.pending += value;
  }
}

// Ends a burst whose line has fallen idle and hands over the bytes now due.
void VirtualCable::Flush(Line& line, Clock::time_point now) {
  if (line.burstOpen && now >= line.freeAt) EndBurst(line);
  Plug& to = plugs_[1 - line.from];
  while (!line.arriving.empty() && line.arriving.front().due <= now) {
    to.pending += line.arriving.front().byte;
    line.arriving.pop_front();
  }
}

void VirtualCable::WriteOut(Plug& to) {
  if (to.master < 0 || to.pending.empty()) return;
  const ssize_t put = write(to.master, to.pending.data(), to.pending.size());
  if (put <= 0) return;
  to.pending.erase(0, static_cast<std::size_t>(put));
  to.bytesReceived += static_cast<std::uint64_t>(put);
  to.lastReceived = Clock::now().time_since_epoch().count();
}

std::uint16_t VirtualCable::Noisy(Line& line, std::uint16_t frame) {
  if (options_.bitErrorRate <= 0) return frame;
  std::geometric_distribution<std::uint64_t> unflipped(std::min(options_.bitErrorRate, 0.999999));
  for (unsigned bit = 0; bit < 10; ++bit) {
    if (line.bitsBeforeFlip == 0) {
      frame = static_cast<std::uint16_t>(frame ^ (1U << bit));
      line.bitsBeforeFlip = unflipped(line.noise);
    } else {
      --line.bitsBeforeFlip;
    }
  }
  return frame;
}

}  // namespace ql
