#include "tools/peer/local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fs/descriptor.h"

namespace ql {
namespace {

std::string Because(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

std::string FolderOf(const std::string& path) {
  const std::size_t cut = path.find_last_of('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

std::string NameOf(const std::string& path) {
  const std::size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// A new file beside the target, named so that no other program has it:
// ".NAME.PID-N.part" in the target's folder. Removed unless Keep() is called.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& target) {
    const std::string stem =
        FolderOf(target) + "/." + NameOf(target) + "." + std::to_string(getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = stem + std::to_string(attempt) + ".part";
      fd_ = open(path_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0666);
      if (fd_ >= 0 || errno != EEXIST) break;
    }
    error_ = fd_ < 0 ? errno : 0;
  }
  ~TemporaryFile() {
    if (fd_ >= 0) close(fd_);
    if (!kept_ && error_ == 0) unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // 0 once created, else the errno of the last attempt.
  int Error() const { return error_; }
  const std::string& Path() const { return path_; }

  // 0, or the errno of the write, the flush to the disk or the close.
  int WriteAll(const std::string& contents) {
    for (std::size_t written = 0; written < contents.size();) {
      const ssize_t count = write(fd_, contents.data() + written, contents.size() - written);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) return errno;
      written += static_cast<std::size_t>(count);
    }
    // On the disk before it takes the final name, so that a crash cannot
    // leave that name on a file with fewer bytes.
    if (fsync(fd_) != 0 && errno != EINVAL) return errno;
    const int fd = fd_;
    fd_ = -1;
    return close(fd) != 0 ? errno : 0;
  }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  int fd_ = -1;
  int error_ = 0;
  bool kept_ = false;
};

// Gives the finished temporary file the name `path`; without `replace`, only
// if nothing has taken that name meanwhile.
int GiveName(TemporaryFile& file, const std::string& path, bool replace) {
  if (!replace) {
    if (link(file.Path().c_str(), path.c_str()) == 0) return 0;  // fails if `path` exists
    if (errno == EEXIST) return EEXIST;
    // A file system without hard links: look, then rename.
    struct stat status {};
    if (lstat(path.c_str(), &status) == 0) return EEXIST;
  }
  if (rename(file.Path().c_str(), path.c_str()) != 0) return errno;
  file.Keep();
  return 0;
}

}  // namespace

bool ReadLocalFile(const std::string& path, std::string& contents, std::string& error) {
  contents.clear();
  const Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat status {};
  if (fd.get() < 0 || fstat(fd.get(), &status) != 0) {
    error = Because("cannot read " + path, errno);
    return false;
  }
  if (S_ISDIR(status.st_mode)) {
    error = path + " is a folder; put sends one file";
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    error = path + " is not a regular file; put sends one file";
    return false;
  }
  char buffer[1 << 16];
  for (;;) {
    const ssize_t count = read(fd.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      error = Because("cannot read " + path, errno);
      return false;
    }
    if (count == 0) return true;
    contents.append(buffer, static_cast<std::size_t>(count));
  }
}

bool CheckLocalTarget(const std::string& path, bool replace, std::string& error) {
  struct stat status {};
  if (lstat(path.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) {
      error = path + " is a folder";
      return false;
    }
    if (!replace) {
      error = path + " exists; give --force to replace it";
      return false;
    }
  }
  const std::string folder = FolderOf(path);
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    error = Because("cannot write into " + folder, errno);
    return false;
  }
  return true;
}

bool WriteLocalFile(const std::string& path, const std::string& contents, bool replace,
                    std::string& error) {
  TemporaryFile file(path);
  if (file.Error() != 0) {
    error = Because("cannot write into " + FolderOf(path), file.Error());
    return false;
  }
  if (const int failed = file.WriteAll(contents); failed != 0) {
    error = Because("cannot write " + path, failed);
    return false;
  }
  const int failed = GiveName(file, path, replace);
  if (failed == EEXIST) {
    error = path + " exists; give --force to replace it";
  } else if (failed != 0) {
    error = Because("cannot write " + path, failed);
  }
  return failed == 0;
}

}  // namespace ql
