// A pseudo-terminal pair: the line opens the device path, the test
// plays the far end of the cable on the master side.
#pragma once

#include <fcntl.h>
#include <poll.h>
#ifdef __APPLE__
#include <util.h>
#else
#include <pty.h>
#endif
#include <unistd.h>

#include <chrono>
#include <string>

namespace ql::testing {

class PtyPair {
 public:
  PtyPair() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) == 0) {
      path_ = name;
      close(slave);  // the line opens its own
      fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
  }
  ~PtyPair() { HangUp(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const char* path() const { return path_.c_str(); }

  void Write(const std::string& bytes) const {
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t put = write(master_, bytes.data() + at, bytes.size() - at);
      if (put > 0) at += static_cast<std::size_t>(put);
      pollfd out{master_, POLLOUT, 0};
      if (put <= 0) poll(&out, 1, 100);
    }
  }

  // Everything that arrives until nothing more has come for `quietMs`.
  std::string ReadUntilQuiet(int quietMs = 100, int firstByteMs = 2000) const {
    std::string got;
    int wait = firstByteMs;
    for (;;) {
      pollfd in{master_, POLLIN, 0};
      if (poll(&in, 1, wait) <= 0) return got;
      char chunk[4096];
      const ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0) return got;
      got.append(chunk, static_cast<std::size_t>(n));
      wait = quietMs;
    }
  }

  // The cable is pulled: the port's side sees a hang-up.
  void HangUp() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string path_;
};

}  // namespace ql::testing
