#include "app/terminal/device_problem.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/terminal/terminal_text.h"

namespace ql {
namespace {

std::string GroupOf(const struct stat& status) {
  const group* owner = getgrgid(status.st_gid);
  return owner != nullptr ? owner->gr_name : std::to_string(status.st_gid);
}

// Groups whose members can become root or read what only root may: joining
// one to reach a serial port gives away far more than the port.
bool IsPrivilegedGroup(const struct stat& status) {
  if (status.st_gid == 0) return true;
  const group* owner = getgrgid(status.st_gid);
  if (owner == nullptr) return false;
  static const char* const kPrivileged[] = {"root",  "wheel", "sudo",   "adm", "admin",
                                            "staff", "disk",  "shadow", "kmem"};
  return std::any_of(std::begin(kPrivileged), std::end(kPrivileged),
                     [&](const char* name) { return std::strcmp(owner->gr_name, name) == 0; });
}

// Whether the user belongs to group `gid` by the group database, though this
// session does not have it: added after the login.
bool JoinedSinceLogin(gid_t gid) {
  std::vector<gid_t> session(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
  if (getgroups(static_cast<int>(session.size()), session.data()) < 0 || getegid() == gid ||
      std::find(session.begin(), session.end(), gid) != session.end()) {
    return false;
  }
  const passwd* user = getpwuid(geteuid());
  const group* members = getgrgid(gid);
  if (user == nullptr || members == nullptr) return false;
  if (user->pw_gid == gid) return true;
  for (char** member = members->gr_mem; *member != nullptr; ++member) {
    if (std::strcmp(*member, user->pw_name) == 0) return true;
  }
  return false;
}

std::string NoPermission(const std::string& device, const struct stat& status) {
  const std::string group = GroupOf(status);
  const bool groupMayUse = (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (groupMayUse && JoinedSinceLogin(status.st_gid)) {
    return "You may not use " + device + " yet: you joined group '" + group +
           "' after this session began. Log out and in again (or run 'newgrp " + group +
           "' in this terminal).";
  }
  if (groupMayUse && !IsPrivilegedGroup(status)) {
    return "You may not use " + device + ": it belongs to group '" + group +
           "'. Join it with 'sudo usermod -aG " + group + " $USER', then log in again.";
  }
  const passwd* owner = getpwuid(status.st_uid);
  const std::string user = owner != nullptr ? owner->pw_name : std::to_string(status.st_uid);
#ifdef __linux__
  const std::string remedy =
      "a udev rule can give it to a group such as 'dialout' (GROUP=\"dialout\", MODE=\"0660\" "
      "in a file under /etc/udev/rules.d/) for you to join, or run as a user who may open it.";
#else
  const std::string remedy =
      "the administrator can give it to a group with read and write access for you to join, or "
      "run as a user who may open it.";
#endif
  return "You may not use " + device + ": only '" + user + "'" +
         (groupMayUse ? " and the privileged group '" + group + "'" : std::string()) +
         " may open it; " + remedy;
}

std::string Missing(const std::string& device) {
  return "There is no device " + device +
         ": check the cable and the name (USB adapters are usually /dev/ttyUSB0 or "
         "/dev/ttyACM0; ls /dev/serial/by-id/ lists the plugged-in ones).";
}

// The programs that have `device` open, as "ModemManager (process 812)",
// from /proc; empty where the system does not tell, or only of the user's
// own processes and root's are shown to others.
std::vector<std::string> HoldersOf(const std::string& device) {
  std::vector<std::string> holders;
#if defined(__linux__)
  char real[PATH_MAX];
  if (realpath(device.c_str(), real) == nullptr) return holders;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return holders;
  while (const dirent* process = readdir(processes)) {
    const std::string pid = process->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos ||
        std::to_string(getpid()) == pid) {
      continue;
    }
    const std::string fds = "/proc/" + pid + "/fd";
    DIR* open = opendir(fds.c_str());
    if (open == nullptr) continue;  // another user's, or gone
    bool holds = false;
    while (const dirent* fd = readdir(open)) {
      char target[PATH_MAX];
      const ssize_t length = readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (length > 0 && std::strncmp(target, real, static_cast<std::size_t>(length)) == 0 &&
          real[length] == '\0') {
        holds = true;
        break;
      }
    }
    closedir(open);
    if (!holds) continue;
    std::string name;
    std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
    holders.push_back((name.empty() ? "a program" : TerminalText(name)) + " (process " + pid + ")");
  }
  closedir(processes);
#else
  static_cast<void>(device);
#endif
  return holders;
}

// What to do about the programs that take serial adapters as they appear.
std::string AdviceFor(const std::string& holder) {
  if (holder.rfind("ModemManager", 0) == 0) {
    return " ModemManager probes new adapters for modems: 'sudo systemctl stop ModemManager', "
           "or a udev rule with ENV{ID_MM_DEVICE_IGNORE}=\"1\" keeps it away for good.";
  }
  if (holder.rfind("brltty", 0) == 0) {
    return " brltty takes adapters it takes for braille displays: 'sudo systemctl mask "
           "brltty-udev.service brltty.service', or remove it if no braille display is used.";
  }
  return "";
}

// `device` is the path to look at, `shown` the same made fit for a terminal.
std::string Held(const std::string& device, const std::string& shown) {
  const std::vector<std::string> holders = HoldersOf(device);
  if (holders.empty()) {
    return shown + " is held by another program; close that program first ('fuser " + shown +
           "' shows which one, run as root to see other users' programs). A pseudo terminal "
           "stays so after a program that held it was killed, until its other end is closed.";
  }
  std::string names;
  for (const std::string& holder : holders) names += (names.empty() ? "" : ", ") + holder;
  return shown + " is held by " + names + "; close it first." + AdviceFor(holders.front());
}

}  // namespace

std::string ExplainOpenFailure(const std::string& device, int error) {
  // The path is the user's or the settings': it reaches the terminal escaped,
  // line breaks too, so that it cannot pass for a line of its own.
  const std::string shown = TerminalText(device);
  struct stat status_ {};
  if (stat(device.c_str(), &status_) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      return shown + " cannot be looked at: " + std::strerror(errno) + ".";
    }
    return Missing(shown);
  }
  // A device node without its hardware.
  if (error == ENOENT || error == ENOTDIR || error == ENXIO || error == ENODEV) {
    return shown +
           " exists but no hardware answers behind it: check that the adapter is "
           "plugged in and its driver loaded.";
  }
  const std::string instead =
      "; give the adapter's device, for example /dev/ttyUSB0 (--list-ports lists them).";
  if (!S_ISCHR(status_.st_mode)) {
    return shown + " is not a device, so it cannot be a serial port" + instead;
  }
  if (error == ENOTTY)
    return shown + " is a device but not a terminal, so it cannot be a serial port" + instead;
  // EBUSY: another opener holds it exclusively; EWOULDBLOCK: its lock is held.
  if (error == EACCES || error == EPERM || error == EBUSY || error == EWOULDBLOCK) {
    if (access(device.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
      return NoPermission(shown, status_);
    }
    return Held(device, shown);
  }
  return shown + " is not a serial port the system can set up (it refused the line settings).";
}

}  // namespace ql
