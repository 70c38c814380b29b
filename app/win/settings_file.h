// The settings file through the system's INI profile functions.
#pragma once

#include <string>

#include "app/common/settings.h"

namespace ql {

// "Quarnelix_link.ini" in the folder of the program that the command line names.
std::string SettingsFilePath(const char* commandLine);

// Missing keys or a missing file read as 0.
LinkSettings LoadSettings(const std::string& path);
// Writes every key, in their fixed order; failures are not reported.
void SaveSettings(const std::string& path, const LinkSettings& settings);

}  // namespace ql
