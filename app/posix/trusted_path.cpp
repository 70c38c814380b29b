#include "app/posix/trusted_path.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "app/terminal/terminal_text.h"

namespace ql {
namespace {

// As many links as the kernel follows in one path.
constexpr int kMostLinks = 40;
// A folder this user may search but not read (0711) is walked through all the same.
#if defined(O_PATH)
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif

bool OwnerTrusted(const struct stat& status) {
  return status.st_uid == 0 || status.st_uid == geteuid();
}

// Whether `gid` is the user's own group and no one else's: the group of the
// user's name, which holds nobody else ("user private groups").
bool UsersOwnGroup(gid_t gid) {
  const passwd* user = getpwuid(geteuid());
  const group* owner = getgrgid(gid);
  if (user == nullptr || owner == nullptr || user->pw_gid != gid ||
      std::strcmp(owner->gr_name, user->pw_name) != 0) {
    return false;
  }
  for (char** member = owner->gr_mem; *member != nullptr; ++member) {
    if (std::strcmp(*member, user->pw_name) != 0) return false;
  }
  return true;
}

void Append(const std::string& path, std::vector<std::string>& components) {
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") components.push_back(part);
    start = end + 1;
  }
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

}  // namespace

bool OthersMayWrite(const struct stat& status) {
  return (status.st_mode & S_IWOTH) != 0 ||
         ((status.st_mode & S_IWGRP) != 0 && !UsersOwnGroup(status.st_gid));
}

namespace {

bool Reach(const std::string& path, bool makeFolders, TrustedPlace& place, std::string& problem) {
  std::string absolute = path;
  if (path.empty() || path[0] != '/') {
    char here[PATH_MAX];
    if (getcwd(here, sizeof here) == nullptr) {
      problem = std::string("the current folder cannot be named: ") + std::strerror(errno);
      return false;
    }
    absolute = Join(here, path);
  }
  std::vector<std::string> pending;
  Append(absolute, pending);
  if (pending.empty()) {
    problem = "/ is a folder, not a file";
    return false;
  }
  // The folders walked, from / down, each open.
  std::vector<Descriptor> folders;
  std::vector<std::string> names{"/"};
  folders.emplace_back(open("/", kFolderFlags));
  const auto here = [&] { return names.back(); };
  for (int links = 0; !pending.empty();) {
    const std::string name = pending.front();
    pending.erase(pending.begin());
    if (name == "..") {
      if (folders.size() > 1) {
        folders.pop_back();
        names.pop_back();
      }
      continue;
    }
    const bool last = pending.empty();
    const std::string shown = Join(here(), name);
    struct stat status {};
    if (folders.back().get() < 0 ||
        fstatat(folders.back().get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT && (last || !makeFolders)) {
        // Not there: the folder that holds it only when that folder is.
        if (last) place.folder = std::move(folders.back());
        place.name = name;
        place.folderPath = here();
        return true;
      }
      if (errno != ENOENT || !makeFolders ||
          (mkdirat(folders.back().get(), name.c_str(), 0700) != 0 && errno != EEXIST)) {
        problem = shown + ": " + std::strerror(errno);
        return false;
      }
      pending.insert(pending.begin(), name);  // made: looked at again
      continue;
    }
    if (!OwnerTrusted(status)) {
      problem = (S_ISLNK(status.st_mode)   ? "the link "
                 : S_ISDIR(status.st_mode) ? "the folder "
                                           : "the file ") +
                shown + " belongs to another user";
      return false;
    }
    if (S_ISLNK(status.st_mode)) {
      char target[PATH_MAX];
      const ssize_t length = readlinkat(folders.back().get(), name.c_str(), target, sizeof target);
      if (++links > kMostLinks || length <= 0 ||
          static_cast<std::size_t>(length) == sizeof target) {
        problem = shown + ": " +
                  std::strerror(links > kMostLinks ? ELOOP
                                : length < 0       ? errno
                                                   : ENOENT);
        return false;
      }
      std::vector<std::string> spelled;
      Append(std::string(target, static_cast<std::size_t>(length)), spelled);
      if (target[0] == '/') {
        folders.erase(folders.begin() + 1, folders.end());
        names.erase(names.begin() + 1, names.end());
      }
      pending.insert(pending.begin(), spelled.begin(), spelled.end());
      continue;
    }
    if (last) {
      if (S_ISDIR(status.st_mode)) {
        problem = shown + " is a folder, not a file";
        return false;
      }
      if (S_ISREG(status.st_mode) && OthersMayWrite(status)) {
        problem = "the file " + shown + " may be written by other users";
        return false;
      }
      place.folder = std::move(folders.back());
      place.name = name;
      place.folderPath = here();
      return true;
    }
    if (!S_ISDIR(status.st_mode)) {
      problem = shown + " is not a folder";
      return false;
    }
    if (OthersMayWrite(status) && (status.st_mode & S_ISVTX) == 0) {
      problem = "the folder " + shown +
                " may be written by other users and has no sticky bit, so they could put "
                "something else in the settings' place";
      return false;
    }
    folders.emplace_back(openat(folders.back().get(), name.c_str(), kFolderFlags));
    struct stat opened {};
    if (folders.back().get() < 0 || fstat(folders.back().get(), &opened) != 0) {
      problem = shown + ": " + std::strerror(errno);
      return false;
    }
    if (opened.st_dev != status.st_dev || opened.st_ino != status.st_ino) {
      problem = shown + " changed while it was looked at";
      return false;
    }
    names.push_back(shown);
  }
  problem = path + " names no file";
  return false;
}

}  // namespace

bool ReachTrusted(const std::string& path, bool makeFolders, TrustedPlace& place,
                  std::string& problem) {
  if (Reach(path, makeFolders, place, problem)) return true;
  // One line, whatever the paths in it hold.
  problem = TerminalText(problem);
  return false;
}

}  // namespace ql
