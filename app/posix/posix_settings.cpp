#include "app/posix/posix_settings.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace ql {
namespace {

// The Windows program reads each value into an 8-character buffer.
constexpr std::size_t kValueChars = 7;

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string PortKey(int index) { return "COM" + std::to_string(index + 1); }

}  // namespace

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  const passwd* user = getpwuid(getuid());
  return user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "/";
}

std::string DefaultSettingsPath() {
  return EnvOr("XDG_CONFIG_HOME", HomeFolder() + "/.config") + "/quarnelix-link/" +
         kSettingsFileName;
}

bool AddDrive(const std::string& letter, const std::string& folder, DriveTable& drives,
              std::string& error) {
  if (letter.size() != 1 || std::isalpha(static_cast<unsigned char>(letter[0])) == 0) {
    error = "'" + letter + "' is not a drive letter (A to Z)";
    return false;
  }
  std::string path = folder;
  if (path == "~" || path.rfind("~/", 0) == 0) path = HomeFolder() + path.substr(1);
  char resolved[PATH_MAX];
  struct stat status {};
  if (path.empty() || realpath(path.c_str(), resolved) == nullptr || stat(resolved, &status) != 0 ||
      !S_ISDIR(status.st_mode)) {
    error = "drive " + letter + ": '" + folder + "' is not a folder";
    return false;
  }
  drives[static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])))] = resolved;
  return true;
}

bool AddDrive(const std::string& assignment, DriveTable& drives, std::string& error) {
  const std::size_t equals = assignment.find('=');
  if (equals == std::string::npos) {
    error = "'" + assignment + "' is not X=FOLDER (for example C=/home/me/handheld)";
    return false;
  }
  std::string letter = assignment.substr(0, equals);
  if (letter.size() == 2 && letter[1] == ':') letter.pop_back();  // "C:=/srv" reads as meant
  return AddDrive(letter, assignment.substr(equals + 1), drives, error);
}

bool ReadSettings(const IniFile& file, PosixSettings& settings, std::string& error) {
  for (const SettingKey& key : kSettingKeys) {
    const auto value = file.Get(kSettingsSection, key.name);
    settings.options.*key.field =
        ParseSettingValue(value ? value->substr(0, kValueChars).c_str() : "0");
  }
  for (int i = 0; i < kPortCount; ++i) {
    const auto device = file.Get(kPortsSection, PortKey(i));
    if (device && !device->empty()) settings.ports[static_cast<std::size_t>(i)] = *device;
  }
  for (const auto& [letter, folder] : file.Entries(kDrivesSection)) {
    if (!AddDrive(letter, folder, settings.drives, error)) {
      error.insert(0, "[" + std::string(kDrivesSection) + "] ");
      return false;
    }
  }
  return true;
}

void WriteSettings(IniFile& file, const PosixSettings& settings) {
  // Taken out first, so that they go back in their fixed order.
  for (const SettingKey& key : kSettingKeys) file.Remove(kSettingsSection, key.name);
  for (const SettingKey& key : kSettingKeys) {
    file.Set(kSettingsSection, key.name, std::to_string(settings.options.*key.field));
  }
  for (int i = 0; i < kPortCount; ++i) file.Remove(kPortsSection, PortKey(i));
  for (int i = 0; i < kPortCount; ++i) {
    file.Set(kPortsSection, PortKey(i), settings.ports[static_cast<std::size_t>(i)]);
  }
}

}  // namespace ql
