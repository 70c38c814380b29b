// The terminal program's settings: section "options" as the Windows program
// keeps it, plus the device behind each COM name, the last device served when
// it is none of those, and the drive table.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "app/common/settings.h"
#include "app/posix/ini_file.h"
#include "fs/posix_file_system.h"

namespace ql {

constexpr char kPortsSection[] = "ports";
constexpr char kDrivesSection[] = "drives";
// In [ports]: the device last served when none of COM1 to COM4 names it.
constexpr char kLastDeviceKey[] = "LastDevice";

struct PosixSettings {
  LinkSettings options;
  std::array<std::string, kPortCount> ports{"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                                            "/dev/ttyS3"};  // COM1 ... COM4
  std::string lastDevice;      // when set, served instead of LastPort's device
  bool lastPortSaved = false;  // the file names LastPort: its COM port is remembered
  DriveTable drives;
};

// "$XDG_CONFIG_HOME/quarnelix-link/Quarnelix_link.ini", by default under ~/.config.
std::string DefaultSettingsPath();

// The environment variable's value; `fallback` when it is unset or empty.
std::string EnvOr(const char* name, const std::string& fallback);

// Missing keys keep their defaults, except LastSpeed: kNoSpeed. False, with `error` set, when the
// drive table names something that is not a drive letter. A drive whose folder is not there (an
// unplugged stick) is left out, with a line in `warnings`.
bool ReadSettings(const IniFile& file, PosixSettings& settings, std::vector<std::string>& warnings,
                  std::string& error);
// The eight option keys in their fixed order, then the four ports and
// LastDevice when it is set; the drive table and everything else stay as the
// file had them.
void WriteSettings(IniFile& file, const PosixSettings& settings);

// The device the settings remember: LastDevice, else the COM port of a
// saved LastPort; empty when they name none.
std::string RememberedDevice(const PosixSettings& settings);
// Remembers `device` as served: a device [ports] names sets LastPort, any
// other one LastDevice.
void RememberDevice(PosixSettings& settings, const std::string& device);

// Adds "letter → folder" to `drives` (replacing the letter's folder). The
// folder may be "~" or start with "~/". False, with `error` set, for anything but a
// single letter or an existing folder.
bool AddDrive(const std::string& letter, const std::string& folder, DriveTable& drives,
              std::string& error);
// The same for a command-line "X=DIR".
bool AddDrive(const std::string& assignment, DriveTable& drives, std::string& error);

std::string HomeFolder();

// The folder that is C: when no drive table names one: a folder of its own
// under the home folder, so that uploads never land among the files a login
// reads ("~/.profile", "~/.bash_login").
std::string DefaultUploadFolder();
// Puts DefaultUploadFolder() into `drives` as C:, making it (for the user
// alone) when it is missing; `made` tells whether it was. False, with `error`
// set, when it cannot be made or is not a folder.
bool AddDefaultUploadDrive(DriveTable& drives, bool& made, std::string& error);

}  // namespace ql
