#include "app/posix/posix_settings.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "app/terminal/terminal_text.h"

namespace ql {
namespace {

// The Windows program reads each value into an 8-character buffer.
constexpr std::size_t kValueChars = 7;
constexpr char kUploadFolderName[] = "Handheld";

std::string PortKey(int index) { return "COM" + std::to_string(index + 1); }

bool IsDriveLetter(const std::string& letter) {
  return letter.size() == 1 && std::isalpha(static_cast<unsigned char>(letter[0])) != 0;
}

}  // namespace

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  const passwd* user = getpwuid(getuid());
  return user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "/";
}

std::string DefaultUploadFolder() { return HomeFolder() + "/" + kUploadFolderName; }

bool AddDefaultUploadDrive(DriveTable& drives, bool& made, std::string& error) {
  const std::string folder = DefaultUploadFolder();
  made = mkdir(folder.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) {
    error = "cannot make the folder " + TerminalText(folder) +
            " for drive C: " + std::strerror(errno) + "; give one with --drive C=DIR";
    return false;
  }
  if (!AddDrive("C", folder, drives, error)) {
    error += "; give a folder with --drive C=DIR";
    return false;
  }
  return true;
}

std::string DefaultSettingsPath() {
#ifdef __APPLE__
  // Where a Mac's programs keep their settings; XDG_CONFIG_HOME is a Linux convention.
  return HomeFolder() + "/Library/Application Support/Quarnelix Link/" + kSettingsFileName;
#else
  // A relative XDG_CONFIG_HOME is to be ignored, as the XDG rules say.
  std::string config = EnvOr("XDG_CONFIG_HOME", "");
  if (config.empty() || config[0] != '/') config = HomeFolder() + "/.config";
  return config + "/quarnelix-link/" + kSettingsFileName;
#endif
}

bool AddDrive(const std::string& letter, const std::string& folder, DriveTable& drives,
              std::string& error) {
  if (!IsDriveLetter(letter)) {
    error = "'" + TerminalText(letter) + "' is not a drive letter (A to Z)";
    return false;
  }
  std::string path = folder;
  if (path == "~" || path.rfind("~/", 0) == 0) path = HomeFolder() + path.substr(1);
  char resolved[PATH_MAX];
  struct stat status {};
  if (path.empty() || realpath(path.c_str(), resolved) == nullptr || stat(resolved, &status) != 0 ||
      !S_ISDIR(status.st_mode)) {
    error = "drive " + TerminalText(letter) + ": '" + TerminalText(folder) + "' is not a folder";
    return false;
  }
  drives[static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])))] = resolved;
  return true;
}

bool AddDrive(const std::string& assignment, DriveTable& drives, std::string& error) {
  const std::size_t equals = assignment.find('=');
  if (equals == std::string::npos) {
    error = "'" + TerminalText(assignment) + "' is not X=FOLDER (for example C=/home/me/handheld)";
    return false;
  }
  std::string letter = assignment.substr(0, equals);
  if (letter.size() == 2 && letter[1] == ':') letter.pop_back();  // "C:=/srv" reads as meant
  return AddDrive(letter, assignment.substr(equals + 1), drives, error);
}

bool ReadSettings(const IniFile& file, PosixSettings& settings, std::vector<std::string>& warnings,
                  std::string& error) {
  for (const SettingKey& key : kSettingKeys) {
    const auto value = file.Get(kSettingsSection, key.name);
    settings.options.*key.field =
        ParseSettingValue(value ? value->substr(0, kValueChars).c_str() : "0");
  }
#ifdef __APPLE__
  // A Mac has no /dev/ttyS0 ... /dev/ttyS3: COM1 to COM4 name nothing until [ports] maps them.
  settings.ports.fill(std::string());
#endif
  for (int i = 0; i < kPortCount; ++i) {
    const auto device = file.Get(kPortsSection, PortKey(i));
    if (device && !device->empty()) settings.ports[static_cast<std::size_t>(i)] = *device;
  }
  settings.lastDevice = file.Get(kPortsSection, kLastDeviceKey).value_or("");
  settings.lastPortSaved = file.Get(kSettingsSection, "LastPort").has_value();
  // No speed remembered yet: the server finds it.
  if (!file.Get(kSettingsSection, "LastSpeed")) settings.options.lastSpeed = kNoSpeed;
  for (const auto& [letter, folder] : file.Entries(kDrivesSection)) {
    std::string problem;
    if (AddDrive(letter, folder, settings.drives, problem)) continue;
    problem.insert(0, "[" + std::string(kDrivesSection) + "] ");
    if (!IsDriveLetter(letter)) {
      error = problem;
      return false;
    }
    warnings.push_back(problem + "; that drive is left out");
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
  file.Remove(kPortsSection, kLastDeviceKey);
  for (int i = 0; i < kPortCount; ++i) {
    file.Set(kPortsSection, PortKey(i), settings.ports[static_cast<std::size_t>(i)]);
  }
  if (!settings.lastDevice.empty()) file.Set(kPortsSection, kLastDeviceKey, settings.lastDevice);
}

std::string RememberedDevice(const PosixSettings& settings) {
  if (!settings.lastDevice.empty()) return settings.lastDevice;
  const int port = settings.options.lastPort;
  return settings.lastPortSaved && port >= 0 && port < kPortCount
             ? settings.ports[static_cast<std::size_t>(port)]
             : std::string();
}

void RememberDevice(PosixSettings& settings, const std::string& device) {
  const auto& ports = settings.ports;
  const auto known = std::find(ports.begin(), ports.end(), device);
  // A device of another name leaves LastPort as it was: it still means a COM port.
  if (known != ports.end()) {
    settings.options.lastPort = static_cast<int>(known - ports.begin());
    settings.lastPortSaved = true;
    settings.lastDevice.clear();
  } else {
    settings.lastDevice = device;
  }
}

}  // namespace ql
