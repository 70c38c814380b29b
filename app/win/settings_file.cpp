#include "app/win/settings_file.h"

#include <windows.h>

#include <cstdio>

namespace ql {

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
  return settings;
}

void SaveSettings(const std::string& path, const LinkSettings& settings) {
  for (const SettingKey& key : kSettingKeys) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", settings.*key.field);
    WritePrivateProfileStringA(kSettingsSection, key.name, text, path.c_str());
  }
}

}  // namespace ql
