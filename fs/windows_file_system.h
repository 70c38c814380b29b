// The link server's file system on Windows: the handheld's paths are the
// system's own, so every call goes straight to the ANSI file API.
#pragma once

#include "link/file_system.h"

namespace ql {

// The system's ANSI code page, whose lead bytes Windows itself knows.
class AnsiCharset final : public HandheldCharset {
 public:
  bool IsLeadByte(unsigned char byte) const override;
};

class WindowsFileSystem : public FileSystem {
 public:
  Status FindFiles(const std::string& pattern, FoundEntries& found) override;
  Status OpenForReading(const std::string& path, std::unique_ptr<ReadableFile>& file) override;
  Status CreateUpload(const std::string& path, std::unique_ptr<UploadFile>& file) override;
  const HandheldCharset& PathCharset() const override { return charset_; }

 private:
  AnsiCharset charset_;
};

}  // namespace ql
