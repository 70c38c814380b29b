// The settings file through the system's INI profile functions.
#pragma once

#include <string>

#include "app/common/settings.h"

namespace ql {

// "Quarnelix_link.ini" in the folder of this program's file, whatever command
// line started it and whatever characters its folder's name holds.
std::wstring SettingsFilePath();

// LastPort when the file does not have it: COM1, unless a lone USB adapter
// is there to be chosen.
constexpr int kLastPortNotSaved = -2;

// Missing keys or a missing file read as 0, but for LastPort (above);
// LastPortName counts only when it names a port beyond COM4.
LinkSettings LoadSettings(const std::wstring& path);
// Writes the eight keys, in their fixed order, then LastPortName when a port
// beyond COM4 is chosen (and removes it otherwise); failures are not reported.
void SaveSettings(const std::wstring& path, const LinkSettings& settings);

}  // namespace ql
