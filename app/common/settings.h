// The user's choices as the settings file keeps them: section "options" of
// "Quarnelix_link.ini", eight decimal values. Shared by both front ends.
#pragma once

#include <array>
#include <string>

namespace ql {

constexpr int kNoSpeed = -1;  // LinkSettings::lastSpeed when none is remembered

struct LinkSettings {
  int lastPort = 0;   // 0 = COM1 ... 3 = COM4, -1 = none
  int lastSpeed = 0;  // 0 = 19200 ... 3 = 115200, kNoSpeed = none
  int autoOpen = 0;
  int hide = 0;
  int showHide = 0;
  int startStop = 0;
  int hotkeyShowHide = 0;  // low byte virtual key, high byte shift 1, control 2, alt 4, ext 8
  int hotkeyStartStop = 0;
  // The chosen port by name ("COM12") when it lies beyond COM4, where the
  // index alone would follow other ports coming and going; empty otherwise.
  std::string lastPortName;
};

constexpr char kSettingsFileName[] = "Quarnelix_link.ini";
constexpr char kSettingsSection[] = "options";

struct SettingKey {
  const char* name;
  int LinkSettings::*field;
};

// In the order the keys are written.
constexpr std::array<SettingKey, 8> kSettingKeys{{
    {"LastPort", &LinkSettings::lastPort},
    {"LastSpeed", &LinkSettings::lastSpeed},
    {"Auto", &LinkSettings::autoOpen},
    {"Hide", &LinkSettings::hide},
    {"ShowHide", &LinkSettings::showHide},
    {"StartStop", &LinkSettings::startStop},
    {"HotkeyShowHide", &LinkSettings::hotkeyShowHide},
    {"HotkeyStartStop", &LinkSettings::hotkeyStartStop},
}};

// Written after the eight, and only while a port beyond COM4 is chosen.
constexpr char kLastPortNameKey[] = "LastPortName";

constexpr std::array<unsigned, 4> kSpeeds{19200, 38400, 57600, 115200};
constexpr int kPortCount = 4;  // COM1 to COM4, always offered
constexpr int kHighestPort = 256;

// Leading blanks, an optional sign and the digits after it; no digits give 0.
int ParseSettingValue(const char* text);

// n for "COMn" (any case, 1 to kHighestPort, no leading zero); 0 for any other text.
int ComPortNumber(const char* name);

}  // namespace ql
