// One server per device: a lock file per device, named after the device's
// real path and holding the serving process's id.
#pragma once

#include <string>

namespace ql {

class InstanceLock {
 public:
  InstanceLock() = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock();

  // False, with `error` naming the running server, when another process of
  // this user serves the same device.
  bool Acquire(const std::string& device, std::string& error);

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace ql
