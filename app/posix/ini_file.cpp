#include "app/posix/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
  if (stat(folder.c_str(), &status) == 0) return S_ISDIR(status.st_mode);
  const std::size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash))) {
    return false;
  }
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
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
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && !MakeFolders(path.substr(0, slash))) {
    error = "cannot create the folder " + path.substr(0, slash) + ": " + std::strerror(errno);
    return false;
  }
  // Saving writes this file and renames it over `path`: making it is the test.
  const std::string temporary = path + ".new";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  const bool made = fd >= 0;
  // One left by a run that was killed is written over.
  if (!made && errno == EEXIST) fd = open(temporary.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  close(fd);
  if (made) unlink(temporary.c_str());
  return true;
}

bool IniFile::Save(const std::string& path, std::string& error) const {
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && !MakeFolders(path.substr(0, slash))) {
    error = "cannot create the folder " + path.substr(0, slash) + ": " + std::strerror(errno);
    return false;
  }
  const std::string temporary = path + ".new";
  const std::string text = Text();
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool written = fd >= 0;
  for (std::size_t at = 0; written && at < text.size();) {
    const ssize_t put = write(fd, text.data() + at, text.size() - at);
    written = put > 0;
    if (written) at += static_cast<std::size_t>(put);
  }
  const int savedErrno = errno;
  if (fd >= 0 && close(fd) != 0) written = false;
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    error = std::strerror(written ? errno : savedErrno);
    unlink(temporary.c_str());
    return false;
  }
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
