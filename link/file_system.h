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
  // Opens an existing regular file for reading, sharing reads.
  virtual Status OpenForReading(const std::string& path, std::unique_ptr<ReadableFile>& file) = 0;
  // Starts an upload that is to be stored as `path` once whole; the folder
  // must exist. Whether the name is free is decided by Commit.
  virtual Status CreateUpload(const std::string& path, std::unique_ptr<UploadFile>& file) = 0;
  // Whether an upload may be stored under `name` here, beyond what Windows
  // allows in names anywhere.
  virtual bool AcceptsUploadName(const std::string& /*name*/) const { return true; }
  // The code page of the handheld's paths, which says where characters end.
  virtual const HandheldCharset& PathCharset() const { return HandheldCharset::SingleByte(); }
};

}  // namespace ql
