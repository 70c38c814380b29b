// The link server's file system on Linux and macOS. The handheld names Windows
// paths ("C:\My Documents\*.txt") in its ANSI code page; drive letters map to
// host folders, and nothing outside those folders is ever listed or opened.
#pragma once

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
  // out; an empty table serves no drive.
  PosixFileSystem(const DriveTable& drives, CodePage codePage);
  ~PosixFileSystem() override;
  PosixFileSystem(const PosixFileSystem&) = delete;
  PosixFileSystem& operator=(const PosixFileSystem&) = delete;

  bool FindFiles(const std::string& pattern, std::vector<FindEntry>& entries) override;
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override;
  std::unique_ptr<WritableFile> CreateNew(const std::string& path) override;
  void Remove(const std::string& path) override;
  // Names that begin with a dot are read as configuration here (".profile").
  bool AcceptsUploadName(const std::string& name) const override;

  // The drives served: those whose folder could be opened.
  const DriveTable& Drives() const { return drives_; }
  const CodePage& HandheldCodePage() const { return codePage_; }
  // The host path a handheld path names, for showing a person (empty when it
  // names no drive served); nothing is looked up on the disk.
  std::string HostPathOf(const std::string& path) const;

 private:
  struct Drive {
    int fd = -1;           // the folder, opened once
    std::string realPath;  // its absolute path, links resolved, for links that name it so
  };
  struct HostPath;

  static int OpenBeneath(const Drive& drive, std::vector<std::string> path, std::string& name);
  static int OpenFolder(const Drive& drive, const std::vector<std::string>& path);
  bool ResolveFolder(const std::string& path, HostPath& resolved) const;
  bool ResolveName(int folderFd, const std::string& ansi, std::string& name) const;
  bool ResolveExisting(const std::string& path, HostPath& resolved) const;
  bool Describe(const HostPath& path, int folderFd, const std::string& name,
                FindEntry& entry) const;
  bool FindOne(const HostPath& path, std::vector<FindEntry>& entries) const;
  bool ListFolder(const HostPath& path, const WildcardPattern& pattern,
                  std::vector<FindEntry>& entries) const;

  DriveTable drives_;
  std::map<char, Drive> open_;
  CodePage codePage_;
};

}  // namespace ql
