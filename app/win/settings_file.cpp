#include "app/win/settings_file.h"

#include <windows.h>

#include <cstdio>

namespace ql {
namespace {

// The folder of the program file named by the first item of a command line
// (quoted or not), with its trailing backslash; empty when it names no folder.
std::string ProgramDirectory(const char* commandLine) {
  std::string program;
  if (*commandLine == '"') {
    const char* end = commandLine + 1;
    while (*end != '\0' && *end != '"') ++end;
    program.assign(commandLine + 1, end);
  } else {
    const char* end = commandLine;
    while (*end != '\0' && *end != ' ' && *end != '\t') ++end;
    program.assign(commandLine, end);
  }
  const std::size_t slash = program.find_last_of('\\');
  return slash == std::string::npos ? std::string() : program.substr(0, slash + 1);
}

}  // namespace

std::string SettingsFilePath(const char* commandLine) {
  return ProgramDirectory(commandLine) + kSettingsFileName;
}

LinkSettings LoadSettings(const std::string& path) {
  LinkSettings settings;
  for (const SettingKey& key : kSettingKeys) {
    char text[8];
    GetPrivateProfileStringA(kSettingsSection, key.name, "0", text, sizeof text, path.c_str());
    settings.*key.field = ParseSettingValue(text);
  }
  char name[16];
  GetPrivateProfileStringA(kSettingsSection, kLastPortNameKey, "", name, sizeof name, path.c_str());
  if (ComPortNumber(name) > kPortCount) settings.lastPortName = name;
  return settings;
}

void SaveSettings(const std::string& path, const LinkSettings& settings) {
  for (const SettingKey& key : kSettingKeys) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", settings.*key.field);
    WritePrivateProfileStringA(kSettingsSection, key.name, text, path.c_str());
  }
  // Without a port beyond COM4 the key goes, so that a name from an earlier
  // choice cannot outweigh the index.
  const bool named = ComPortNumber(settings.lastPortName.c_str()) > kPortCount;
  WritePrivateProfileStringA(kSettingsSection, kLastPortNameKey,
                             named ? settings.lastPortName.c_str() : nullptr, path.c_str());
}

}  // namespace ql
