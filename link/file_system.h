// The desktop's file system as the link server uses it. Paths are the handheld's:
// Windows syntax (drive letter, backslashes) in the handheld's code page.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/wire_format.h"

namespace ql {

class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Reads up to `length` bytes; false on a read error, `count` 0 at the end.
  virtual bool Read(void* buffer, std::uint32_t length, std::uint32_t* count) = 0;
};

class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Writes all `length` bytes; false when the system refused any of them.
  virtual bool Write(const void* data, std::size_t length) = 0;
  // A number that identifies the open file in the trace.
  virtual long long TraceId() const = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Lists what a search pattern ("C:\dir\*.txt") matches, in the order the
  // system yields it. False when the search fails: nothing matches, bad path.
  virtual bool FindFiles(const std::string& pattern, std::vector<FindEntry>& entries) = 0;
  // Opens an existing regular file for reading, sharing reads; null on failure.
  virtual std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) = 0;
  // Creates a file that must not exist yet; null on failure (most often: it exists).
  virtual std::unique_ptr<WritableFile> CreateNew(const std::string& path) = 0;
  // Removes a file this program created (after a failed write).
  virtual void Remove(const std::string& path) = 0;
  // Whether an upload may be stored under `name` here, beyond what Windows
  // allows in names anywhere.
  virtual bool AcceptsUploadName(const std::string& /*name*/) const { return true; }
};

}  // namespace ql
