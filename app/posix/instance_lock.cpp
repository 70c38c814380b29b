#include "app/posix/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/posix/posix_settings.h"

namespace ql {
namespace {

// A server that ends removes its lock file; one that opened the file just
// before is left holding a removed file, and opens the name again.
constexpr int kOpenAttempts = 3;

// The user's runtime folder is theirs alone; the temporary folder is shared
// with every user, so the folder made there is checked before it is used.
std::string LockFolder() {
  const std::string runtime = EnvOr("XDG_RUNTIME_DIR", "");
  if (!runtime.empty()) return runtime + "/quarnelix-link";
  return EnvOr("TMPDIR", "/tmp") + "/quarnelix-link-" + std::to_string(geteuid());
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

std::string Mode(mode_t mode) {
  char text[8];
  static_cast<void>(std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777)));
  return text;
}

// Opens `folder`, making it for this user alone when missing. What is checked
// is the folder opened, not its name, so nothing can be swapped in between.
int OpenLockFolder(const std::string& folder, std::string& error) {
  const std::string advice =
      "; the lock files need a folder only you may use: remove it, or set XDG_RUNTIME_DIR.";
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create the lock folder " + folder + ": " + std::strerror(errno);
    return -1;
  }
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int cause = errno;
    error = "cannot use the lock folder " + folder + ": " +
            (cause == ELOOP || cause == ENOTDIR ? "it is a link or a file, not a folder" + advice
                                                : std::string(std::strerror(cause)));
    return -1;
  }
  struct stat status {};
  std::string problem;
  if (fstat(fd, &status) != 0) {
    problem = std::strerror(errno);
  } else if (status.st_uid != geteuid()) {
    problem = "it belongs to another user (uid " + std::to_string(status.st_uid) + ")" + advice;
  } else if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    problem = "other users may use it (mode " + Mode(status.st_mode) + ")" + advice;
  }
  if (problem.empty()) return fd;
  close(fd);
  error = "cannot use the lock folder " + folder + ": " + problem;
  return -1;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `name` in `folderFd` is still the file open as `fd`.
bool NameStillNames(int folderFd, const std::string& name, int fd) {
  struct stat named {};
  struct stat open {};
  return fstatat(folderFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(fd, &open) == 0 && SameFile(named, open);
}

}  // namespace

InstanceLock::~InstanceLock() {
  Release();
  if (folderFd_ >= 0) close(folderFd_);
}

void InstanceLock::Release() {
  if (fd_ < 0) return;
  // Removed while still locked, and only if the name is still this file.
  if (NameStillNames(folderFd_, name_, fd_)) unlinkat(folderFd_, name_.c_str(), 0);
  close(fd_);
  fd_ = -1;
}

bool InstanceLock::Acquire(const std::string& device, std::string& error) {
  folder_ = LockFolder();
  folderFd_ = OpenLockFolder(folder_, error);
  if (folderFd_ < 0) return false;
  name_ = LockName(device);
  fd_ = Lock(name_, device, error);
  return fd_ >= 0;
}

bool InstanceLock::Follow(const std::string& device, std::string& error) {
  if (fd_ < 0) return false;
  const std::string name = LockName(device);
  if (name == name_) return true;
  const int fd = Lock(name, device, error);
  if (fd < 0) return false;
  Release();
  fd_ = fd;
  name_ = name;
  return true;
}

int InstanceLock::Lock(const std::string& name, const std::string& device,
                       std::string& error) const {
  const std::string path = folder_ + "/" + name;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    // Never through a link and never truncated before the lock is held.
    const int fd = openat(folderFd_, name.c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
      const int cause = errno;
      error = "cannot use the lock file " + path + ": " +
              (cause == ELOOP ? "it is a link" : std::strerror(cause));
      return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      error = "cannot use the lock file " + path + ": it is not a regular file";
      close(fd);
      return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int cause = errno;
      error = cause == EWOULDBLOCK ? "quarnelix-link is already serving " + device + HolderOf(fd) +
                                         "; stop that one first."
                                   : "cannot lock " + path + ": " + std::strerror(cause);
      close(fd);
      return -1;
    }
    if (!NameStillNames(folderFd_, name, fd)) {
      close(fd);
      continue;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    // Without the id the lock still holds; only a second server's message is poorer.
    const bool recorded = ftruncate(fd, 0) == 0 && pwrite(fd, pid.data(), pid.size(), 0) > 0;
    static_cast<void>(recorded);
    return fd;
  }
  error = "cannot use the lock file " + path + ": it is replaced as fast as it is opened";
  return -1;
}

}  // namespace ql
