// The link server's file system on Windows: the handheld's paths are the
// system's own, so every call goes straight to the ANSI file API.
#pragma once

#include "link/file_system.h"

namespace ql {

class WindowsFileSystem : public FileSystem {
 public:
  bool FindFiles(const std::string& pattern, std::vector<FindEntry>& entries) override;
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override;
  std::unique_ptr<WritableFile> CreateNew(const std::string& path) override;
  void Remove(const std::string& path) override;
};

}  // namespace ql
