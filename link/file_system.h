// The desktop's file system as the link server uses it. Paths are the handheld's:
// Windows syntax (drive letter, backslashes) in the handheld's code page.
// Every failure is the system's own code (the errno, or GetLastError()), so
// that the person at the desktop is told the true cause.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/handheld_charset.h"
#include "link/status.h"
#include "link/wire_format.h"

namespace ql {

// What says that a file changed: its size and its last write.
struct FileStamp {
  std::uint64_t size = 0;
  std::uint64_t lastWriteTime = 0;  // in the system's own units
  bool operator==(const FileStamp& other) const {
    return size == other.size && lastWriteTime == other.lastWriteTime;
  }
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

// A file being sent. The next piece is read while the current one goes out,
// so a slow disk, a share or a disk waking from sleep never leaves a pause in
// the payload, which the handheld would take for the end of the message.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Starts reading the next `length` bytes into `buffer`, which stays the
  // file's until FinishRead returns. Only one read is under way at a time.
  virtual void StartRead(void* buffer, std::uint32_t length) = 0;
  // Waits for the read started last: `count` is `length` but at the end of
  // the file (0 past it).
  virtual Status FinishRead(std::uint32_t* count) = 0;
  // The open file's own size and last write, asked of the system each time.
  virtual Status Stat(FileStamp& stamp) const = 0;
};

// An upload as it arrives: its contents go to a hidden temporary file in the
// upload folder, which takes the upload's name only when it is whole.
class UploadFile {
 public:
  // Removes the temporary file unless the upload was put in place.
  virtual ~UploadFile() = default;
  virtual Status Write(const void* data, std::size_t length) = 0;
  // Puts the contents and the folder entry on disk and gives the file its
  // name, never replacing one: a name that exists, also one that differs only
  // in case, fails with the system's "exists" code and leaves nothing behind.
  virtual Status Commit() = 0;
  // A number that identifies the open file in the trace.
  virtual long long TraceId() const = 0;
};

// What a search found: the entries to list, and how many more names matched
// that the handheld cannot be shown (its code page cannot write them, or
// they do not fit a listing record).
struct FoundEntries {
  std::vector<FindEntry> entries;
  std::uint32_t leftOut = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Lists what a search pattern ("C:\dir\*.txt") matches, in the order the
  // system yields it. Success only with at least one entry.
  virtual Status FindFiles(const std::string& pattern, FoundEntries& found) = 0;
  // Opens the existing regular file that `path` names, sharing reads; a
  // wildcard in it is a character like any other, so it names no file.
  virtual Status OpenForReading(const std::string& path, std::unique_ptr<ReadableFile>& file) = 0;
  // Starts an upload that is to be stored as `path` once whole; the folder
  // must exist. Whether the name is free is decided by Commit.
  virtual Status CreateUpload(const std::string& path, std::unique_ptr<UploadFile>& file) = 0;
  // Why an upload may not be stored under `name` here, beyond what Windows
  // allows in names anywhere (a name this code page cannot carry both ways,
  // say); empty when it may.
  virtual std::string UploadNameProblem(const std::string& /*name*/) const { return {}; }
  // The code page of the handheld's paths, which says where characters end.
  virtual const HandheldCharset& PathCharset() const { return HandheldCharset::SingleByte(); }
};

}  // namespace ql
