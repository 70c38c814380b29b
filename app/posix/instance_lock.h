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

 private:
  int folderFd_ = -1;
  int fd_ = -1;
  std::string name_;
};

}  // namespace ql
