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

#include <cerrno>
#include <cstring>

namespace ql {
namespace {

constexpr const char* kEndNames[] = {"server-tty", "handheld-tty"};
// Past this many bytes waiting for a slow reader, the relay stops reading the writer,
// which then waits as it would on a full serial driver queue.
constexpr std::size_t kMaxPending = std::size_t{64} * 1024;

}  // namespace

std::unique_ptr<VirtualCable> VirtualCable::Create(const std::string& folder, std::string& error) {
  std::unique_ptr<VirtualCable> cable(new VirtualCable);
  if (pipe(cable->wake_) != 0) {
    error = std::string("no pipe: ") + std::strerror(errno);
    return nullptr;
  }
  for (int end = 0; end < 2; ++end) {
    cable->plugs_[end].link = folder + "/" + kEndNames[end];
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
  StartRelay();
}

bool VirtualCable::Replug(End end, std::string& error, bool anotherTerminal) {
  StopRelay();
  Close(plugs_[end]);
  const bool opened = Open(plugs_[end], error, anotherTerminal ? plugs_[end].terminal : "");
  StartRelay();
  return opened;
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
    pollfd fds[3] = {{wake_[0], POLLIN, 0}, {plugs_[0].master, 0, 0}, {plugs_[1].master, 0, 0}};
    for (int end = 0; end < 2; ++end) {
      const Plug& other = plugs_[1 - end];
      if (other.pending.size() < kMaxPending) fds[1 + end].events |= POLLIN;
      if (!plugs_[end].pending.empty()) fds[1 + end].events |= POLLOUT;
    }
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    Move(plugs_[0], plugs_[1], fds[1].revents, fds[2].revents);
    Move(plugs_[1], plugs_[0], fds[2].revents, fds[1].revents);
  }
}

void VirtualCable::Move(Plug& from, Plug& to, short fromEvents, short toEvents) {
  if ((fromEvents & POLLIN) != 0) {
    char chunk[4096];
    const ssize_t got = read(from.master, chunk, sizeof chunk);
    // Bytes sent into an unplugged end are lost, as on a real line.
    if (got > 0 && to.master >= 0) to.pending.append(chunk, static_cast<std::size_t>(got));
  }
  if ((toEvents & POLLOUT) != 0 && !to.pending.empty()) {
    const ssize_t put = write(to.master, to.pending.data(), to.pending.size());
    if (put > 0) to.pending.erase(0, static_cast<std::size_t>(put));
  }
}

}  // namespace ql
