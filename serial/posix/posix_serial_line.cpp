#include "serial/posix/posix_serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "link/wire_format.h"

namespace ql {
namespace {

using Clock = std::chrono::steady_clock;

struct KnownSpeed {
  std::uint32_t baud;
  speed_t code;
};

constexpr KnownSpeed kKnownSpeeds[] = {
    {110, B110},       {300, B300},     {600, B600},       {1200, B1200},
    {2400, B2400},     {4800, B4800},   {9600, B9600},     {19200, B19200},
    {38400, B38400},   {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

constexpr short kHangUpEvents = POLLHUP | POLLERR | POLLNVAL;

bool MakeNonBlockingCloseOnExec(int fd) {
  return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// poll() that goes on after a signal with the time that is left.
int PollFor(pollfd* fds, nfds_t count, int timeoutMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
    const int ready = poll(fds, count, wait);
    if (ready >= 0 || errno != EINTR) return ready;
  }
}

int BytesWaiting(int fd) {
  int waiting = 0;
  return ioctl(fd, FIONREAD, &waiting) == 0 ? waiting : 0;
}

}  // namespace

PosixSerialLine::PosixSerialLine() {
  int fds[2];
  if (pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "wake pipe");
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  if (!MakeNonBlockingCloseOnExec(wakeRead_) || !MakeNonBlockingCloseOnExec(wakeWrite_)) {
    const int error = errno;
    close(wakeRead_);
    close(wakeWrite_);
    throw std::system_error(error, std::generic_category(), "wake pipe");
  }
}

PosixSerialLine::~PosixSerialLine() {
  Close();
  close(wakeRead_);
  close(wakeWrite_);
}

int PosixSerialLine::Open(const std::string& path) {
  if (IsOpen()) return EALREADY;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  termios tio{};
  // A second program on the same device fails here; the advisory lock also
  // holds against the superuser, whom TIOCEXCL lets pass.
  if (tcgetattr(fd, &tio) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    const int error = errno;
    close(fd);
    return error;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    const int error = errno;
    close(fd);
    return error;
  }
  // Without handshake the Windows program holds DTR and RTS down; a cradle
  // sees the same lines from either. A pseudo terminal has neither.
  int lines = TIOCM_DTR | TIOCM_RTS;
  static_cast<void>(ioctl(fd, TIOCMBIC, &lines));
  fd_ = fd;
  return 0;
}

void PosixSerialLine::Close() {
  if (!IsOpen()) return;
  static_cast<void>(ioctl(fd_, TIOCNXCL));
  close(fd_);
  fd_ = -1;
}

int PosixSerialLine::SetSpeed(std::uint32_t baud) {
  if (!IsOpen()) return EBADF;
  const auto* known = std::find_if(std::begin(kKnownSpeeds), std::end(kKnownSpeeds),
                                   [baud](const KnownSpeed& s) { return s.baud == baud; });
  if (known == std::end(kKnownSpeeds)) return EINVAL;
  termios before{};
  if (tcgetattr(fd_, &before) != 0) return errno;
  termios wanted = before;
  cfsetispeed(&wanted, known->code);
  cfsetospeed(&wanted, known->code);
  termios held{};
  // tcsetattr succeeds when the device took any part of the change: only
  // reading it back tells whether the speed is the one asked for.
  if (tcsetattr(fd_, TCSANOW, &wanted) == 0 && tcgetattr(fd_, &held) == 0 &&
      cfgetospeed(&held) == known->code && cfgetispeed(&held) == known->code) {
    return 0;
  }
  static_cast<void>(tcsetattr(fd_, TCSANOW, &before));
  return EINVAL;
}

long long PosixSerialLine::LineErrorCount() const {
#if defined(__linux__) && defined(TIOCGICOUNT)
  serial_icounter_struct counts{};
  if (IsOpen() && ioctl(fd_, TIOCGICOUNT, &counts) == 0) {
    return static_cast<long long>(counts.frame) + counts.parity + counts.brk;
  }
#endif
  return -1;
}

std::uint32_t PosixSerialLine::Speed() const {
  termios tio{};
  if (!IsOpen() || tcgetattr(fd_, &tio) != 0) return 0;
  const speed_t code = cfgetospeed(&tio);
  for (const KnownSpeed& known : kKnownSpeeds) {
    if (known.code == code) return known.baud;
  }
  return 0;
}

PosixSerialLine::WaitResult PosixSerialLine::WaitFor(int timeoutMs) {
  pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {fd_, POLLIN, 0}};
  const int ready = PollFor(fds, IsOpen() ? 2 : 1, timeoutMs);
  if (ready == 0) return WaitResult::kTimedOut;
  if (fds[0].revents != 0) return WaitResult::kWoken;
  // poll fails only without memory for its work: the device is taken for lost.
  if (ready < 0) return IsOpen() ? WaitResult::kHungUp : WaitResult::kTimedOut;
  // A hung-up device still hands out what arrived before the hang-up.
  if ((fds[1].revents & kHangUpEvents) != 0 && BytesWaiting(fd_) == 0) return WaitResult::kHungUp;
  return WaitResult::kReadable;
}

bool PosixSerialLine::WaitReadable(int timeoutMs) {
  WaitFor(timeoutMs);
  return true;
}

void PosixSerialLine::Wake() {
  woken_.store(true);
  const int saved = errno;  // a signal handler must leave errno as it found it
  const char wake = 1;
  // A full pipe is woken already, so a failed write needs nothing more.
  const ssize_t written = write(wakeWrite_, &wake, 1);
  static_cast<void>(written);
  errno = saved;
}

Status PosixSerialLine::ReceiveBytes(void* buffer, std::uint32_t length, std::uint32_t* count) {
  *count = 0;
  if (!IsOpen()) return EBADF;
  if (woken_.load()) return ECANCELED;
  // A terminal hands out everything it holds, up to `length`, in one read.
  for (;;) {
    const ssize_t got = read(fd_, buffer, length);
    if (got > 0) {
      *count = static_cast<std::uint32_t>(got);
      return 0;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno != EAGAIN) return errno;
    // Nothing there now; a device that hung up also reads nothing.
    pollfd check{fd_, POLLIN, 0};
    const bool hungUp = poll(&check, 1, 0) > 0 && (check.revents & kHangUpEvents) != 0;
    return hungUp && BytesWaiting(fd_) == 0 ? EIO : 0;
  }
}

Status PosixSerialLine::SendText(const char* text) { return Send(text, std::strlen(text)); }

Status PosixSerialLine::SendBlocks(const void* data, std::uint32_t length) {
  return Send(data, length);
}

Status PosixSerialLine::Send(const void* data, std::size_t length) {
  if (!IsOpen()) return EBADF;
  const auto* bytes = static_cast<const char*>(data);
  const auto stallBound = std::chrono::milliseconds(kSendStallMs);
  Clock::time_point stalled = Clock::now() + stallBound;
  std::size_t sent = 0;
  while (sent < length) {
    if (woken_.load()) return ECANCELED;
    const ssize_t put = write(fd_, bytes + sent, std::min<std::size_t>(length - sent, kBlockSize));
    if (put > 0) {
      sent += static_cast<std::size_t>(put);
      stalled = Clock::now() + stallBound;  // the bound starts anew with every byte that moved
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) return errno;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(stalled - Clock::now());
    pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {fd_, POLLOUT, 0}};
    const int ready = PollFor(fds, 2, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (ready == 0) return ETIMEDOUT;
    if (ready < 0) return errno;
    if (fds[0].revents != 0) return ECANCELED;
    if ((fds[1].revents & kHangUpEvents) != 0) return EIO;
  }
  return 0;
}

Status PosixSerialLine::Drain() {
  if (!IsOpen()) return EBADF;
  // tcdrain would wait through a wake, and without bound on a stalled line.
  int queued = 0;
  int before = -1;
  Clock::time_point stalled = Clock::now() + std::chrono::milliseconds(kSendStallMs);
  while (ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0) {
    if (queued != before) stalled = Clock::now() + std::chrono::milliseconds(kSendStallMs);
    before = queued;
    if (Clock::now() >= stalled) return ETIMEDOUT;
    if (!Pause(5)) return ECANCELED;
  }
  return woken_.load() ? ECANCELED : 0;
}

bool PosixSerialLine::Pause(int ms) {
  pollfd wake{wakeRead_, POLLIN, 0};
  return PollFor(&wake, 1, ms) == 0 && !woken_.load();
}

Status PosixSerialLine::DiscardInput() {
  if (!IsOpen()) return EBADF;
  return tcflush(fd_, TCIFLUSH) == 0 ? 0 : errno;
}

Status PosixSerialLine::DiscardBuffers() {
  if (!IsOpen()) return EBADF;
  return tcflush(fd_, TCIOFLUSH) == 0 ? 0 : errno;
}

}  // namespace ql
