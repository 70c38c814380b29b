#include "app/posix/device_problem.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ql {
namespace {

std::string GroupOf(const struct stat& status) {
  const group* owner = getgrgid(status.st_gid);
  return owner != nullptr ? owner->gr_name : std::to_string(status.st_gid);
}

std::string Missing(const std::string& device) {
  return "There is no device " + device +
         ": check the cable and the name (USB adapters are usually /dev/ttyUSB0 or "
         "/dev/ttyACM0; ls /dev/serial/by-id/ lists the plugged-in ones).";
}

}  // namespace

std::string ExplainOpenFailure(const std::string& device, Status status) {
  struct stat status_ {};
  if (stat(device.c_str(), &status_) != 0) return Missing(device);
  if (status == kErrorFileNotFound) {
    return device +
           " exists but no hardware answers behind it: check that the adapter is "
           "plugged in and its driver loaded.";
  }
  if (status == kErrorAccessDenied) {
    if (access(device.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
      const std::string group = GroupOf(status_);
      return "You may not use " + device + ": it belongs to group '" + group +
             "'. Join it with 'sudo usermod -aG " + group + " $USER', then log in again.";
    }
    return device + " is held by another program; close that program first ('fuser " + device +
           "' shows which one).";
  }
  if (!S_ISCHR(status_.st_mode)) return device + " is not a device, so it cannot be a serial port.";
  return device + " is not a serial port the system can set up (it refused the line settings).";
}

}  // namespace ql
