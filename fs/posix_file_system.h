// The link server's file system on Linux and macOS. The handheld names Windows
// paths ("C:\My Documents\*.txt") in its ANSI code page; drive letters map to
// host folders, and nothing outside those folders is ever listed or opened.
#pragma once

#include <map>
#include <string>

#include "fs/code_page.h"
#include "link/file_system.h"

namespace ql {

class WildcardPattern;

// Drive letter ('A'..'Z') to host folder.
using DriveTable = std::map<char, std::string>;

class PosixFileSystem : public FileSystem {
 public:
  // An empty table maps C: to the home folder.
  PosixFileSystem(const DriveTable& drives, CodePage codePage);

  bool FindFiles(const std::string& pattern, std::vector<FindEntry>& entries) override;
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override;
  std::unique_ptr<WritableFile> CreateNew(const std::string& path) override;
  void Remove(const std::string& path) override;

  const DriveTable& Drives() const { return drives_; }

 private:
  struct HostPath;

  bool ResolveFolder(const std::string& path, HostPath& resolved) const;
  bool ResolveName(const std::string& folder, const std::string& ansi, std::string& name) const;
  bool ResolveExisting(const std::string& path, HostPath& resolved) const;
  bool Describe(const HostPath& path, int folderFd, const char* name, unsigned char type,
                FindEntry& entry) const;
  bool FindOne(const HostPath& path, std::vector<FindEntry>& entries) const;
  bool ListFolder(const HostPath& path, const WildcardPattern& pattern,
                  std::vector<FindEntry>& entries) const;

  DriveTable drives_;
  CodePage codePage_;
};

}  // namespace ql
