// One server per device: a lock file per device, named after the device's
// real path and holding the serving process's id. The lock files live in a
// folder of the user's own; one that another user could reach is not used.
#pragma once

#include <string>

namespace ql {

class InstanceLock {
 public:
  InstanceLock() = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock();

  // False, with `error` set to one sentence, when another process of this
  // user serves the same device, or when the lock folder or file is not one
  // that only this user controls (it is then left as it is).
  bool Acquire(const std::string& device, std::string& error);
  // After the device was opened again: when its real path has changed (an
  // adapter plugged in again as /dev/ttyUSB1 instead of /dev/ttyUSB0), takes
  // the lock for the new path and gives up the old one, which may now be
  // another device's. False, with `error` set, when the new lock cannot be
  // taken; the old one is then kept.
  bool Follow(const std::string& device, std::string& error);

 private:
  // The lock file `name`, locked and holding this process's id; -1, with
  // `error` set, when it cannot be.
  int Lock(const std::string& name, const std::string& device, std::string& error) const;
  void Release();

  std::string folder_;
  int folderFd_ = -1;
  int fd_ = -1;
  std::string name_;
};

}  // namespace ql
