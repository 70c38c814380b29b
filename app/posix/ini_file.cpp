#include "app/posix/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <sstream>

namespace ql {
namespace {

// Settings files are a few hundred bytes; anything far larger is not one.
constexpr std::size_t kLargestFile = std::size_t{1} << 20;

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// Windows' profile reader drops one pair of enclosing quotes.
std::string Unquote(const std::string& value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

bool MakeFolders(const std::string& folder) {
  if (folder.empty()) return true;
  struct stat status {};
  if (stat(folder.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  const std::size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash))) {
    return false;
  }
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a save replaces.
struct Destination {
  std::string path;
  std::string folder;
  std::string name;
  bool exists = false;
  mode_t mode = 0;  // the permissions of the file there, when it exists
};

// The most links followed from the settings path, as the kernel allows.
constexpr int kMostLinks = 40;

// A settings file may be a symbolic link the user keeps (a dotfiles manager's, say): the save
// replaces the file the link leads to, so that the link stays. A link that leads nowhere names the
// file the save makes. Only links of this user or of root are followed: another user's link, left
// in a folder they can write, would otherwise aim a save made as root at any file.
bool FindDestination(const std::string& path, Destination& destination, std::string& error) {
  std::string at = path;
  for (int links = 0;; ++links) {
    struct stat status {};
    if (lstat(at.c_str(), &status) != 0) {
      if (errno != ENOENT) {
        error = std::strerror(errno);
        return false;
      }
      break;
    }
    if (!S_ISLNK(status.st_mode)) {
      if (S_ISDIR(status.st_mode)) {
        error = "it is a folder, not a file";
        return false;
      }
      destination.exists = true;
      destination.mode = status.st_mode & 0777;
      break;
    }
    if (links == kMostLinks) {
      error = std::strerror(ELOOP);
      return false;
    }
    if (status.st_uid != geteuid() && status.st_uid != 0) {
      error = "the symbolic link " + at + " belongs to another user";
      return false;
    }
    char target[4096];
    const ssize_t length = readlink(at.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof target) {
      error = std::strerror(length < 0 ? errno : length == 0 ? ENOENT : ENAMETOOLONG);
      return false;
    }
    const std::string next(target, static_cast<std::size_t>(length));
    at = next.front() == '/' ? next : FolderOf(at).append("/").append(next);
  }
  destination.path = at;
  destination.folder = FolderOf(at);
  destination.name = at.substr(at.find_last_of('/') + 1);
  return true;
}

// Creates a new, empty file beside the destination under a name no other save uses, as
// ".NAME.XXXXXX". It is made there and then: never opened through a link, nor shared with another
// save. -1, with errno set, when it cannot be made.
int MakeTemporary(const Destination& destination, std::string& temporary) {
  static std::atomic<std::uint64_t> made{0};
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr int kAttempts = 100;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    // SplitMix64 of the time, the process and a count, so that neither threads nor processes
    // saving at once pick the same name; one that is taken all the same is passed over.
    std::uint64_t bits =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<std::uint64_t>(getpid()) << 40) ^ (++made * 0x9E3779B97F4A7C15u);
    bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9u;
    bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBu;
    bits ^= bits >> 31;
    std::string suffix;
    for (int i = 0; i < 6; ++i, bits /= sizeof kLetters - 1) {
      suffix += kLetters[bits % (sizeof kLetters - 1)];
    }
    temporary = destination.folder + "/." + destination.name + "." + suffix;
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Makes the missing folders of `path`, finds the file a save replaces and
// makes the temporary beside it; -1, with `error` set, when any of it fails.
int StartSave(const std::string& path, Destination& destination, std::string& temporary,
              std::string& error) {
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && !MakeFolders(path.substr(0, slash))) {
    error = "cannot create the folder " + path.substr(0, slash) + ": " + std::strerror(errno);
    return -1;
  }
  if (!FindDestination(path, destination, error)) return -1;
  const int fd = MakeTemporary(destination, temporary);
  if (fd < 0) error = std::strerror(errno);
  return fd;
}

bool WriteAll(int fd, const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const ssize_t put = write(fd, text.data() + at, text.size() - at);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    at += static_cast<std::size_t>(put);
  }
  return true;
}

// So that the rename outlasts a power cut as well; a folder that cannot be synced is no failure
// of the save, whose file is in place.
void SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool IniFile::Load(const std::string& path, std::string& error) {
  lines_.clear();
  // Without O_NONBLOCK a pipe given as the file would hold the start-up until
  // something writes to it; only a regular file of sensible size is read.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    error = std::strerror(errno);
    return false;
  }
  struct stat status {};
  std::string text;
  if (fstat(fd, &status) != 0) {
    error = std::strerror(errno);
  } else if (S_ISDIR(status.st_mode)) {
    error = "it is a folder, not a file";
  } else if (!S_ISREG(status.st_mode)) {
    error = "it is not a regular file";
  } else if (static_cast<std::uintmax_t>(status.st_size) > kLargestFile) {
    error = "it is larger than " + std::to_string(kLargestFile >> 20) + " MiB";
  } else {
    // The size is read again as the file is, in case it grows meanwhile.
    char piece[4096];
    ssize_t got = 0;
    while (text.size() <= kLargestFile && (got = read(fd, piece, sizeof piece)) > 0) {
      text.append(piece, static_cast<std::size_t>(got));
    }
    if (got < 0) error = std::strerror(errno);
    if (text.size() > kLargestFile) {
      error = "it is larger than " + std::to_string(kLargestFile >> 20) + " MiB";
    }
  }
  close(fd);
  if (!error.empty()) return false;
  Parse(text);
  return true;
}

void IniFile::Parse(const std::string& text) {
  lines_.clear();
  std::string section;
  std::istringstream in(text);
  for (std::string raw; std::getline(in, raw);) {
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    Line line{raw, section, {}, {}, false};
    const std::string trimmed = Trim(raw);
    if (!trimmed.empty() && trimmed.front() == '[') {
      const std::size_t close = trimmed.find(']');
      section = Trim(trimmed.substr(1, close == std::string::npos ? close : close - 1));
      line.section = section;
      line.header = true;
    } else if (!trimmed.empty() && trimmed.front() != ';' && trimmed.front() != '#') {
      const std::size_t equals = trimmed.find('=');
      if (equals != std::string::npos && equals > 0) {
        line.key = Trim(trimmed.substr(0, equals));
        line.value = Unquote(Trim(trimmed.substr(equals + 1)));
      }
    }
    lines_.push_back(std::move(line));
  }
}

std::string IniFile::Text() const {
  std::string text;
  for (const Line& line : lines_) text += line.text + "\n";
  return text;
}

bool IniFile::CanSave(const std::string& path, std::string& error) {
  // Saving makes a file beside the destination and renames it over that: making one is the test.
  Destination destination;
  std::string temporary;
  const int fd = StartSave(path, destination, temporary, error);
  if (fd < 0) return false;
  close(fd);
  unlink(temporary.c_str());
  return true;
}

bool IniFile::Save(const std::string& path, std::string& error) const {
  Destination destination;
  std::string temporary;
  const int fd = StartSave(path, destination, temporary, error);
  if (fd < 0) return false;
  // The new file keeps the old one's permissions: a settings file made private stays so.
  bool saved = (!destination.exists || fchmod(fd, destination.mode) == 0) && WriteAll(fd, Text()) &&
               fsync(fd) == 0;
  int failure = errno;
  // An interrupted close is not tried again (Linux has released the descriptor by then), and the
  // text is synced already.
  if (close(fd) != 0 && errno != EINTR && saved) {
    saved = false;
    failure = errno;
  }
  if (saved && rename(temporary.c_str(), destination.path.c_str()) != 0) {
    saved = false;
    failure = errno;
  }
  if (!saved) {
    unlink(temporary.c_str());
    error = std::strerror(failure);
    return false;
  }
  SyncFolder(destination.folder);
  return true;
}

std::optional<std::string> IniFile::Get(const std::string& section, const std::string& key) const {
  for (const Line& line : lines_) {
    if (!line.key.empty() && SameName(line.section, section) && SameName(line.key, key)) {
      return line.value;
    }
  }
  return std::nullopt;
}

void IniFile::Set(const std::string& section, const std::string& key, const std::string& value) {
  std::size_t insertAt = lines_.size();
  bool sectionFound = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    Line& line = lines_[i];
    if (!SameName(line.section, section)) continue;
    if (!line.key.empty() && SameName(line.key, key)) {
      line.text = line.key + "=" + value;
      line.value = value;
      return;
    }
    sectionFound = true;
    // New keys go after the section's last key, before trailing blank lines.
    if (!line.key.empty() || line.header) insertAt = i + 1;
  }
  if (!sectionFound) {
    if (!lines_.empty() && !Trim(lines_.back().text).empty())
      lines_.push_back({"", "", {}, {}, false});
    lines_.push_back({"[" + section + "]", section, {}, {}, true});
    insertAt = lines_.size();
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt),
                Line{key + "=" + value, section, key, value, false});
}

void IniFile::Remove(const std::string& section, const std::string& key) {
  for (auto line = lines_.begin(); line != lines_.end(); ++line) {
    if (!line->key.empty() && SameName(line->section, section) && SameName(line->key, key)) {
      lines_.erase(line);
      return;
    }
  }
}

std::vector<std::pair<std::string, std::string>> IniFile::Entries(
    const std::string& section) const {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const Line& line : lines_) {
    if (!line.key.empty() && SameName(line.section, section)) {
      entries.emplace_back(line.key, line.value);
    }
  }
  return entries;
}

}  // namespace ql
