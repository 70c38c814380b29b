// A settings file in the INI format: "[section]" lines and "key=value" lines.
// Everything the program does not touch (other sections and keys, comments,
// blank lines) is written back as it was read.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ql {

class IniFile {
 public:
  // A missing file reads as an empty one. False, with `error` set, when the
  // file exists but cannot be read, or is not a regular file of at most 1 MiB.
  bool Load(const std::string& path, std::string& error);
  // Writes a new file under a name of its own beside `path`, syncs it and
  // renames it over `path`: a failed or interrupted save leaves the old file
  // whole, and saves made at once do not meet. When `path` is a symbolic link
  // of this user's (or root's), the file it leads to is the one replaced, so
  // the link stays. Creates the folder when it is missing.
  bool Save(const std::string& path, std::string& error) const;
  // Whether Save could write `path` now, found by making and removing such a
  // file (it may make the missing folders); false, with `error` set, when not.
  static bool CanSave(const std::string& path, std::string& error);

  // Section and key names are compared without regard to case, as Windows does.
  std::optional<std::string> Get(const std::string& section, const std::string& key) const;
  // Replaces the key's value in place, or adds the key at the end of its
  // section, or the section at the end of the file.
  void Set(const std::string& section, const std::string& key, const std::string& value);
  // Drops the key's line, if there is one.
  void Remove(const std::string& section, const std::string& key);
  // The section's keys and values in file order.
  std::vector<std::pair<std::string, std::string>> Entries(const std::string& section) const;

  void Parse(const std::string& text);
  std::string Text() const;

 private:
  struct Line {
    std::string text;
    std::string section;  // the section the line belongs to
    std::string key;      // empty unless the line is "key=value"
    std::string value;
    bool header = false;  // "[section]"
  };

  std::vector<Line> lines_;
};

}  // namespace ql
