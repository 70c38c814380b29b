// The link server's file system on Linux and macOS. The handheld names Windows
// paths ("C:\My Documents\*.txt") in its ANSI code page; drive letters map to
// host folders, and nothing outside those folders is ever listed or opened.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "fs/code_page.h"
#include "link/file_system.h"

namespace ql {

class WildcardPattern;

// Drive letter ('A'..'Z') to host folder.
using DriveTable = std::map<char, std::string>;

class PosixFileSystem : public FileSystem {
 public:
  // Opens each drive's folder once, here: later renames of the folder or
  // anything in it cannot move a drive. A folder that cannot be opened is left
  // out; an empty table serves no drive. A folder that is removed is reached
  // anew from its path, so that one made again is served again, if it is a
  // real folder of the same owner. Upload temporaries that a server which
  // ended without cleaning up left in a drive's folder are removed here.
  PosixFileSystem(const DriveTable& drives, CodePage codePage);
  ~PosixFileSystem() override;
  PosixFileSystem(const PosixFileSystem&) = delete;
  PosixFileSystem& operator=(const PosixFileSystem&) = delete;

  Status FindFiles(const std::string& pattern, FoundEntries& found) override;
  Status OpenForReading(const std::string& path, std::unique_ptr<ReadableFile>& file) override;
  Status CreateUpload(const std::string& path, std::unique_ptr<UploadFile>& file) override;
  // Names that begin with a dot are read as configuration here (".profile"),
  // and a name must map to a host name (CodePage::HostName).
  std::string UploadNameProblem(const std::string& name) const override;
  const HandheldCharset& PathCharset() const override { return codePage_; }

  // The drives served: those whose folder could be opened.
  const DriveTable& Drives() const { return drives_; }
  const CodePage& HandheldCodePage() const { return codePage_; }
  // The host path a handheld path names, for showing a person (empty when it
  // names no drive served); nothing is looked up on the disk.
  std::string HostPathOf(const std::string& path) const;

 private:
  struct Drive {
    int fd = -1;            // the folder, opened once
    uid_t owner = 0;        // whose folder it is: a folder made again must be theirs too
    bool replaced = false;  // something else stands at its path: not served any more
    std::string realPath;   // its absolute path, links resolved, for links that name it so
  };
  struct HostPath;
  class Upload;

  static Status OpenDrive(const std::string& folder, Drive& drive, int extraFlags);
  // The drive's folder, opened again when it was removed; null when it is not served.
  const Drive* Reach(char letter, Status& status);
  static int OpenBeneath(const Drive& drive, std::vector<std::string> path, std::string& name);
  static int OpenFolder(const Drive& drive, const std::vector<std::string>& path);
  Status ResolveFolder(const std::string& path, HostPath& resolved);
  Status ResolveName(int folderFd, const std::string& ansi, std::string& name) const;
  Status ResolveExisting(const std::string& path, HostPath& resolved);
  bool Describe(const HostPath& path, int folderFd, const std::string& name,
                FindEntry& entry) const;
  Status FindOne(const HostPath& path, FoundEntries& found) const;
  Status ListFolder(const HostPath& path, const WildcardPattern& pattern,
                    FoundEntries& found) const;

  DriveTable drives_;
  std::map<char, Drive> open_;
  CodePage codePage_;
};

}  // namespace ql
