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

#include "app/posix/trusted_path.h"

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

// Creates a new, empty file beside the settings under a name no other save
// uses, as ".NAME.XXXXXX". It is made there and then: never opened through a
// link, nor shared with another save. -1, with errno set, when it cannot be made.
int MakeTemporary(const TrustedPlace& place, std::string& temporary) {
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
    temporary = "." + place.name + "." + suffix;
    const int fd = openat(place.folder.get(), temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Reaches the settings' place, making missing folders, and makes the
// temporary beside the file; -1, with `error` set, when any of it fails.
int StartSave(const std::string& path, TrustedPlace& place, std::string& temporary,
              std::string& error) {
  if (!ReachTrusted(path, true, place, error)) return -1;
  const int fd = MakeTemporary(place, temporary);
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

}  // namespace

bool IniFile::Load(const std::string& path, std::string& error) {
  lines_.clear();
  TrustedPlace place;
  if (!ReachTrusted(path, false, place, error)) return false;
  if (place.folder.get() < 0) return true;  // a folder on the way is missing: so is the file
  // Without O_NONBLOCK a pipe given as the file would hold the start-up until
  // something writes to it; only a regular file of sensible size is read.
  const int fd = openat(place.folder.get(), place.name.c_str(),
                        O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
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
  } else if ((status.st_uid != 0 && status.st_uid != geteuid()) || OthersMayWrite(status)) {
    // Put in place after the walk looked: judged again as opened.
    error = "the file belongs to another user or may be written by them";
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
  TrustedPlace place;
  std::string temporary;
  const int fd = StartSave(path, place, temporary, error);
  if (fd < 0) return false;
  close(fd);
  unlinkat(place.folder.get(), temporary.c_str(), 0);
  return true;
}

bool IniFile::Save(const std::string& path, std::string& error) const {
  TrustedPlace place;
  std::string temporary;
  const int fd = StartSave(path, place, temporary, error);
  if (fd < 0) return false;
  // The new file keeps the old one's permissions: a settings file made private stays so.
  struct stat old {};
  const bool exists =
      fstatat(place.folder.get(), place.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  bool saved =
      (!exists || fchmod(fd, old.st_mode & 0777) == 0) && WriteAll(fd, Text()) && fsync(fd) == 0;
  int failure = errno;
  // An interrupted close is not tried again (Linux has released the descriptor by then), and the
  // text is synced already.
  if (close(fd) != 0 && errno != EINTR && saved) {
    saved = false;
    failure = errno;
  }
  if (saved && renameat(place.folder.get(), temporary.c_str(), place.folder.get(),
                        place.name.c_str()) != 0) {
    saved = false;
    failure = errno;
  }
  if (!saved) {
    unlinkat(place.folder.get(), temporary.c_str(), 0);
    error = std::strerror(failure);
    return false;
  }
  // So that the rename outlasts a power cut as well; a folder that cannot be
  // synced is no failure of the save, whose file is in place.
  const Descriptor folder(openat(place.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) fsync(folder.get());
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
