#include "app/posix/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace ql {
namespace {

std::string LockFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::string(runtime) + "/quarnelix-link";
  return "/tmp/quarnelix-link-" + std::to_string(getuid());
}

// "/dev/ttyUSB0" → "dev_ttyUSB0.lock"; a symbolic link and its target share one.
std::string LockName(const std::string& device) {
  char resolved[PATH_MAX];
  std::string name = realpath(device.c_str(), resolved) != nullptr ? resolved : device;
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name.substr(name.find_first_not_of('_')) + ".lock";
}

std::string HolderOf(int fd) {
  char text[32] = {};
  const ssize_t got = pread(fd, text, sizeof text - 1, 0);
  const long pid = got > 0 ? std::strtol(text, nullptr, 10) : 0;
  return pid > 0 ? " (process " + std::to_string(pid) + ")" : std::string();
}

}  // namespace

InstanceLock::~InstanceLock() {
  if (fd_ < 0) return;
  unlink(path_.c_str());
  close(fd_);
}

bool InstanceLock::Acquire(const std::string& device, std::string& error) {
  const std::string folder = LockFolder();
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create " + folder + ": " + std::strerror(errno);
    return false;
  }
  path_ = folder + "/" + LockName(device);
  fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error = "cannot create " + path_ + ": " + std::strerror(errno);
    return false;
  }
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    error =
        "quarnelix-link is already serving " + device + HolderOf(fd_) + "; stop that one first.";
    close(fd_);
    fd_ = -1;
    return false;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  // Without the id the lock still holds; only a second server's message is poorer.
  const bool recorded = ftruncate(fd_, 0) == 0 && pwrite(fd_, pid.data(), pid.size(), 0) > 0;
  static_cast<void>(recorded);
  return true;
}

}  // namespace ql
