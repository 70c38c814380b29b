// The link server's file system on Windows: the handheld's paths are the
// system's own, in the system's ANSI code page, and reach the wide file API
// through one exact name map: a name that the code page cannot carry both ways
// is never listed, opened or created.
#pragma once

#include <string>

#include "link/file_system.h"
#include "link/name_rules.h"

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
  // A name the system's code page cannot carry both ways.
  std::string UploadNameProblem(const std::string& name) const override;
  const HandheldCharset& PathCharset() const override { return charset_; }

  // Removes the upload temporaries in `folder` (the handheld's path, ending in
  // a backslash) that no live upload holds open: those a server that ended
  // without cleaning up left there.
  void RemoveAbandonedTemporaries(const std::string& folder = kUploadFolder) const;

 private:
  AnsiCharset charset_;
};

// The folder where Windows keeps what this program writes to folders its
// user may not write to (%LOCALAPPDATA%\VirtualStore), while the program runs
// with file virtualization (an older program on Vista and later, without
// administrator rights); empty otherwise, and always on Windows XP.
std::wstring VirtualStoreFolder();

// Where file virtualization put the file stored as the handheld's `path`
// ("C:\dir\name"): its place under `virtualStore`, in the ANSI code page for
// showing. Empty without a store, and when the store holds no such file: then
// the file is where its path says.
std::string VirtualStorePlace(const std::string& path, const std::wstring& virtualStore);

}  // namespace ql
