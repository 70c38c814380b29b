// The settings file through the system's INI profile functions.
#pragma once

#include <string>

#include "app/common/settings.h"

namespace ql {

// "Quarnelix_link.ini" in the folder of the program that the command line names.
std::string SettingsFilePath(const char* commandLine);

// Missing keys or a missing file read as 0; LastPortName counts only when it
// names a port beyond COM4.
LinkSettings LoadSettings(const std::string& path);
// Writes the eight keys, in their fixed order, then LastPortName when a port
// beyond COM4 is chosen (and removes it otherwise); failures are not reported.
void SaveSettings(const std::string& path, const LinkSettings& settings);

}  // namespace ql
