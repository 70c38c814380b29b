#include "serial/posix_comm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace ql {

// The pipe holds one byte exactly while the event is signalled; the lock keeps
// a set and a reset on two threads from leaving the byte and the flag apart.
struct PosixEvent {
  int readFd = -1;
  int writeFd = -1;
  std::mutex lock;
  bool signalled = false;
};

struct PosixPort {
  int fd = -1;
  DCB dcb;
  COMMTIMEOUTS timeouts;
  std::atomic<DWORD> mask{0};
  // Set by a read that left the input queue empty, by a purge of it or by a
  // new mask: the listener may look for arrivals again.
  EventHandle drained = nullptr;
  bool armed = true;  // listener thread only
  bool gone = false;  // listener thread only: the device hung up
#ifdef __linux__
  serial_icounter_struct counts{};
#endif
};

namespace {

thread_local DWORD lastError = 0;

BOOL Fail(Status code) {
  lastError = static_cast<DWORD>(code);
  return 0;
}

BOOL FailErrno() { return Fail(StatusFromErrno(errno)); }

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline` for poll(), -1 for none.
int PollTimeout(bool bounded, Clock::time_point deadline) {
  if (!bounded) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

struct Speed {
  DWORD baud;
  speed_t code;
};

constexpr Speed kSpeeds[] = {
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

bool SpeedCode(DWORD baud, speed_t& code) {
  for (const Speed& speed : kSpeeds) {
    if (speed.baud == baud) {
      code = speed.code;
      return true;
    }
  }
  return false;
}

DWORD BaudOf(speed_t code) {
  for (const Speed& speed : kSpeeds) {
    if (speed.code == code) return speed.baud;
  }
  return 0;
}

#ifdef CMSPAR
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;
#endif
// The character format: what a device that cannot do it may silently drop.
constexpr tcflag_t kFormatFlags = CSIZE | PARENB | PARODD | CSTOPB | kStickParity;

// The c_cflag bits of a parity; false for mark and space without CMSPAR.
bool ParityFlags(BYTE parity, tcflag_t& flags) {
  static constexpr tcflag_t kFlags[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | kStickParity,
                                        PARENB | kStickParity};
  if (parity > kSpaceParity ||
      ((parity == kMarkParity || parity == kSpaceParity) && kStickParity == 0)) {
    return false;
  }
  flags = kFlags[parity];
  return true;
}

// Writes `wanted`. A device that does not hold its character format (a
// pseudo terminal drops mark and space parity, and the C library then refuses
// every later write of it) gets `before` back, and the change is refused.
bool Commit(int fd, const termios& before, const termios& wanted) {
  termios held{};
  if (tcsetattr(fd, TCSANOW, &wanted) == 0 && tcgetattr(fd, &held) == 0 &&
      (held.c_cflag & kFormatFlags) == (wanted.c_cflag & kFormatFlags)) {
    return true;
  }
  tcsetattr(fd, TCSANOW, &before);
  errno = EINVAL;
  return false;
}

// Writes the emulated settings into termios; false (errno set) when the
// device cannot take them.
bool ApplyToTermios(int fd, const DCB& dcb) {
  termios before{};
  if (tcgetattr(fd, &before) != 0) return false;
  speed_t speed = B0;
  tcflag_t parity = 0;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (!SpeedCode(dcb.BaudRate, speed) || dcb.ByteSize < 5 || dcb.ByteSize > 8 ||
      dcb.StopBits == kOne5StopBits || dcb.StopBits > kTwoStopBits ||
      !ParityFlags(dcb.Parity, parity)) {
    errno = EINVAL;
    return false;
  }
  termios tio = before;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  tio.c_cflag &= ~(kFormatFlags | CRTSCTS);
  tio.c_cflag |= kSizes[dcb.ByteSize - 5] | parity;
  if (dcb.StopBits == kTwoStopBits) tio.c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) tio.c_cflag |= CRTSCTS;
  tio.c_iflag &= ~(INPCK | IXON | IXOFF);
  if (dcb.fParity != 0) tio.c_iflag |= INPCK;
  if (dcb.fOutX != 0) tio.c_iflag |= IXON;
  if (dcb.fInX != 0) tio.c_iflag |= IXOFF;
  if (!Commit(fd, before, tio)) return false;

  // Lines a pseudo terminal does not have: their failure does not matter.
  // Under handshake the driver moves them; raising them first is harmless.
  int dtr = TIOCM_DTR;
  ioctl(fd, dcb.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
  int rts = TIOCM_RTS;
  ioctl(fd, dcb.fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &rts);
  return true;
}

// The device's settings as termios holds them when it is opened.
DCB ReadFromTermios(const termios& tio) {
  DCB dcb;
  dcb.BaudRate = BaudOf(cfgetospeed(&tio));
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      dcb.ByteSize = 5;
      break;
    case CS6:
      dcb.ByteSize = 6;
      break;
    case CS7:
      dcb.ByteSize = 7;
      break;
    default:
      dcb.ByteSize = 8;
  }
  if ((tio.c_cflag & PARENB) != 0)
    dcb.Parity = (tio.c_cflag & PARODD) != 0 ? kOddParity : kEvenParity;
  dcb.StopBits = (tio.c_cflag & CSTOPB) != 0 ? kTwoStopBits : kOneStopBit;
  dcb.fParity = (tio.c_iflag & INPCK) != 0;
  return dcb;
}

bool HungUp(int fd) {
  pollfd check{fd, POLLIN, 0};
  return poll(&check, 1, 0) > 0 && (check.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool InputQueueEmpty(int fd) {
  int queued = 0;
  return ioctl(fd, FIONREAD, &queued) != 0 || queued == 0;
}

bool ValidPort(PortHandle port) {
  if (port != nullptr) return true;
  Fail(kErrorInvalidHandle);
  return false;
}

}  // namespace

DWORD GetLastError() { return lastError; }

Status StatusFromErrno(int error) {
  struct Mapping {
    int error;
    Status status;
  };
  static constexpr Mapping kTable[] = {
      {ENOENT, kErrorFileNotFound},  // no such device
      {ENOTDIR, kErrorFileNotFound},
      {ENXIO, kErrorFileNotFound},  // a device node without its hardware
      {ENODEV, kErrorFileNotFound},
      {EACCES, kErrorAccessDenied},
      {EPERM, kErrorAccessDenied},
      {EBUSY, kErrorAccessDenied},        // held by another program (TIOCEXCL)
      {EWOULDBLOCK, kErrorAccessDenied},  // its lock is held (flock)
      {ENOMEM, kErrorNotEnoughMemory},
      {EMFILE, 4},  // ERROR_TOO_MANY_OPEN_FILES
      {ENFILE, 4},
      {EINVAL, 87},         // ERROR_INVALID_PARAMETER
      {ENOTTY, 1},          // ERROR_INVALID_FUNCTION: not a serial device
      {ENAMETOOLONG, 206},  // ERROR_FILENAME_EXCED_RANGE
      {EIO, 1117},          // ERROR_IO_DEVICE: the device went away
      {ETIMEDOUT, kErrorTimeout},
      {EINTR, kErrorOperationAborted},
  };
  for (const Mapping& m : kTable) {
    if (m.error == error) return m.status;
  }
  return 31;  // ERROR_GEN_FAILURE
}

PortHandle OpenCommDevice(const char* path) {
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    FailErrno();
    return nullptr;
  }
  termios tio{};
  // A second program on the same device fails here, as on Windows; the
  // advisory lock also holds against the superuser, whom TIOCEXCL lets pass.
  if (tcgetattr(fd, &tio) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    FailErrno();
    close(fd);
    return nullptr;
  }
  EventHandle drained = CreateManualResetEvent();
  if (drained == nullptr) {
    close(fd);
    return nullptr;
  }
  ioctl(fd, TIOCEXCL);
  auto* port = new PosixPort;
  port->fd = fd;
  port->drained = drained;
  port->dcb = ReadFromTermios(tio);
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &tio);
#ifdef __linux__
  ioctl(fd, TIOCGICOUNT, &port->counts);
#endif
  return port;
}

void CloseCommDevice(PortHandle port) {
  if (port == nullptr) return;
  ioctl(port->fd, TIOCNXCL);
  close(port->fd);
  CloseEvent(port->drained);
  delete port;
}

BOOL GetCommState(PortHandle port, DCB* dcb) {
  if (!ValidPort(port)) return 0;
  *dcb = port->dcb;
  return 1;
}

BOOL SetCommState(PortHandle port, const DCB* dcb) {
  if (!ValidPort(port)) return 0;
  if (!ApplyToTermios(port->fd, *dcb)) return FailErrno();
  port->dcb = *dcb;
  return 1;
}

BOOL GetCommMask(PortHandle port, DWORD* mask) {
  if (!ValidPort(port)) return 0;
  *mask = port->mask.load();
  return 1;
}

BOOL SetCommMask(PortHandle port, DWORD mask) {
  if (!ValidPort(port)) return 0;
  port->mask.store(mask);
  SetEvent(port->drained);  // a waiting listener looks again with the new mask
  return 1;
}

BOOL GetCommTimeouts(PortHandle port, COMMTIMEOUTS* timeouts) {
  if (!ValidPort(port)) return 0;
  *timeouts = port->timeouts;
  return 1;
}

BOOL SetCommTimeouts(PortHandle port, const COMMTIMEOUTS* timeouts) {
  if (!ValidPort(port)) return 0;
  port->timeouts = *timeouts;
  return 1;
}

BOOL PurgeComm(PortHandle port, DWORD flags) {
  if (!ValidPort(port)) return 0;
  const bool input = (flags & PURGE_RXCLEAR) != 0;
  const bool output = (flags & PURGE_TXCLEAR) != 0;
  if (!input && !output) return 1;
  if (tcflush(port->fd, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH) != 0) {
    return FailErrno();
  }
  // What arrives after the purge is news to the listener.
  if (input) SetEvent(port->drained);
  return 1;
}

BOOL ClearCommError(PortHandle port, DWORD* errors) {
  if (!ValidPort(port)) return 0;
  *errors = 0;
#ifdef __linux__
  // Only real serial drivers count line errors; a pseudo terminal has none.
  serial_icounter_struct now{};
  if (ioctl(port->fd, TIOCGICOUNT, &now) == 0) {
    if (now.buf_overrun != port->counts.buf_overrun) *errors |= kCeRxOver;
    if (now.overrun != port->counts.overrun) *errors |= kCeOverrun;
    if (now.parity != port->counts.parity) *errors |= kCeRxParity;
    if (now.frame != port->counts.frame) *errors |= kCeFrame;
    if (now.brk != port->counts.brk) *errors |= kCeBreak;
    port->counts = now;
  }
#endif
  return 1;
}

Status ReadComm(PortHandle port, void* buffer, DWORD length, DWORD* count, DWORD timeoutMs) {
  *count = 0;
  const COMMTIMEOUTS& t = port->timeouts;
  const bool returnAtOnce = t.ReadIntervalTimeout == MAXDWORD &&
                            t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  const DWORD total = t.ReadTotalTimeoutMultiplier * length + t.ReadTotalTimeoutConstant;
  const bool totalBounded = total != 0;
  const bool callBounded = timeoutMs != kInfinite;
  const Clock::time_point start = Clock::now();
  const Clock::time_point totalEnd = start + std::chrono::milliseconds(total);
  const Clock::time_point callEnd = start + std::chrono::milliseconds(callBounded ? timeoutMs : 0);
  auto* bytes = static_cast<char*>(buffer);
  Status status = kErrorSuccess;
  while (*count < length) {
    const ssize_t got = read(port->fd, bytes + *count, length - *count);
    if (got > 0) {
      *count += static_cast<DWORD>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno != EAGAIN) {
      status = StatusFromErrno(errno);
      break;
    }
    // Nothing there now; a terminal also reads nothing once it hung up.
    if (got == 0 && HungUp(port->fd)) {
      status = StatusFromErrno(EIO);
      break;
    }
    if (returnAtOnce || (t.ReadIntervalTimeout == MAXDWORD && *count > 0)) break;
    int wait = -1;
    if (totalBounded) wait = PollTimeout(true, totalEnd);
    if (callBounded) {
      const int callLeft = PollTimeout(true, callEnd);
      wait = wait < 0 ? callLeft : std::min(wait, callLeft);
    }
    if (*count > 0 && t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD) {
      wait = wait < 0 ? static_cast<int>(t.ReadIntervalTimeout)
                      : std::min(wait, static_cast<int>(t.ReadIntervalTimeout));
    }
    pollfd in{port->fd, POLLIN, 0};
    const int ready = poll(&in, 1, wait);
    if (ready < 0 && errno != EINTR) {
      status = StatusFromErrno(errno);
      break;
    }
    if (ready == 0) {  // the call's own bound is a time-out; the read time-outs end it normally
      if (callBounded && PollTimeout(true, callEnd) == 0) status = kErrorTimeout;
      break;
    }
    if ((in.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (in.revents & POLLIN) == 0) {
      status = StatusFromErrno(EIO);
      break;
    }
  }
  // Whatever arrives from now on has not been told yet.
  if (*count < length || InputQueueEmpty(port->fd)) SetEvent(port->drained);
  return status;
}

Status WriteComm(PortHandle port, const void* buffer, DWORD length, DWORD* count, DWORD timeoutMs,
                 EventHandle abort) {
  *count = 0;
  const bool bounded = timeoutMs != kInfinite;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(bounded ? timeoutMs : 0);
  const auto stallBound = std::chrono::milliseconds(kWriteStallMs);
  Clock::time_point stalled = Clock::now() + stallBound;
  const auto* bytes = static_cast<const char*>(buffer);
  while (*count < length) {
    if (abort != nullptr && WaitForEvent(abort, 0) == kErrorSuccess) return kErrorOperationAborted;
    const ssize_t put = write(port->fd, bytes + *count, length - *count);
    if (put > 0) {
      *count += static_cast<DWORD>(put);
      stalled = Clock::now() + stallBound;
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) return StatusFromErrno(errno);
    pollfd fds[2] = {{port->fd, POLLOUT, 0}, {abort != nullptr ? abort->readFd : -1, POLLIN, 0}};
    const int ready = poll(fds, 2, PollTimeout(true, bounded ? std::min(end, stalled) : stalled));
    if (ready == 0) return kErrorTimeout;
    if (ready < 0 && errno != EINTR) return StatusFromErrno(errno);
    if (fds[1].revents != 0) return kErrorOperationAborted;
    if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return StatusFromErrno(EIO);
  }
  return kErrorSuccess;
}

Status WaitCommEvent(PortHandle port, DWORD* events, EventHandle stop, DWORD timeoutMs) {
  const bool bounded = timeoutMs != kInfinite;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(bounded ? timeoutMs : 0);
  for (;;) {
    // A port that hung up stays readable for ever: it is not watched again.
    const bool watchPort = port->armed && !port->gone;
    pollfd fds[3] = {{port->drained->readFd, POLLIN, 0},
                     {watchPort ? port->fd : -1, POLLIN, 0},
                     {stop != nullptr ? stop->readFd : -1, POLLIN, 0}};
    const int ready = poll(fds, 3, PollTimeout(bounded, end));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return StatusFromErrno(errno);
    if (ready == 0) return kErrorTimeout;
    if (fds[2].revents != 0) return kErrorOperationAborted;
    if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      port->gone = true;
      *events = kEvErr;
      return kErrorSuccess;
    }
    if (fds[0].revents != 0) {
      ResetEvent(port->drained);
      port->armed = true;
      continue;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      port->armed = false;  // until the arrival has been read
      const DWORD bits = port->mask.load() & kEvRxChar;
      if (bits != 0) {
        *events = bits;
        return kErrorSuccess;
      }
    }
  }
}

EventHandle CreateManualResetEvent() {
  int fds[2];
  if (pipe(fds) != 0) {
    FailErrno();
    return nullptr;
  }
  for (const int fd : fds) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  auto* event = new PosixEvent;
  event->readFd = fds[0];
  event->writeFd = fds[1];
  return event;
}

void CloseEvent(EventHandle event) {
  if (event == nullptr) return;
  close(event->readFd);
  close(event->writeFd);
  delete event;
}

void SetEvent(EventHandle event) {
  if (event == nullptr) return;
  std::lock_guard<std::mutex> hold(event->lock);
  if (event->signalled) return;
  const char signal = 1;
  event->signalled = write(event->writeFd, &signal, 1) == 1;
}

void ResetEvent(EventHandle event) {
  if (event == nullptr) return;
  std::lock_guard<std::mutex> hold(event->lock);
  if (!event->signalled) return;
  char drain = 0;
  static_cast<void>(read(event->readFd, &drain, 1));
  event->signalled = false;
}

Status WaitForEvent(EventHandle event, DWORD timeoutMs) {
  pollfd in{event->readFd, POLLIN, 0};
  const int timeout = timeoutMs == kInfinite ? -1 : static_cast<int>(timeoutMs);
  int ready = 0;
  while ((ready = poll(&in, 1, timeout)) < 0 && errno == EINTR) {
  }
  return ready > 0 ? kErrorSuccess : kErrorTimeout;
}

}  // namespace ql
