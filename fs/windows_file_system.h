// The link server's file system on Windows: the handheld's paths are the
// system's own, so every call goes straight to the ANSI file API.
#pragma once

#include "link/file_system.h"

namespace ql {

class WindowsFileSystem : public FileSystem {
 public:
  Status FindFiles(const std::string& pattern, std::vector<FindEntry>& entries) override;
  Status OpenForReading(const std::string& path, std::unique_ptr<ReadableFile>& file) override;
  Status CreateUpload(const std::string& path, std::unique_ptr<UploadFile>& file) override;
};

}  // namespace ql
