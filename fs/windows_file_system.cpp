#include "fs/windows_file_system.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

namespace ql {
namespace {

std::uint64_t Join(DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; }

std::uint64_t FromFileTime(const FILETIME& time) {
  return Join(time.dwHighDateTime, time.dwLowDateTime);
}

FindEntry ToFindEntry(const WIN32_FIND_DATAA& data) {
  FindEntry entry;
  entry.attributes = data.dwFileAttributes;
  entry.creationTime = FromFileTime(data.ftCreationTime);
  entry.lastAccessTime = FromFileTime(data.ftLastAccessTime);
  entry.lastWriteTime = FromFileTime(data.ftLastWriteTime);
  entry.size = Join(data.nFileSizeHigh, data.nFileSizeLow);
  entry.name = data.cFileName;
  return entry;
}

// Owns one open file handle.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE release() { return std::exchange(handle_, nullptr); }
  bool Close() {
    const bool closed = handle_ == nullptr || CloseHandle(handle_) != FALSE;
    handle_ = nullptr;
    return closed;
  }

 private:
  HANDLE handle_;
};

Status LastError() { return static_cast<Status>(GetLastError()); }

// Reads with overlapped I/O: the next piece comes off the disk while the
// current one goes out on the line.
class WindowsReadableFile : public ReadableFile {
 public:
  WindowsReadableFile(HANDLE file, HANDLE readDone) : file_(file), readDone_(readDone) {}
  ~WindowsReadableFile() override {
    // The system writes into the caller's buffer until the read ends.
    if (pending_) {
      DWORD unused = 0;
      CancelIo(file_.get());
      GetOverlappedResult(file_.get(), &read_, &unused, TRUE);
    }
  }
  WindowsReadableFile(const WindowsReadableFile&) = delete;
  WindowsReadableFile& operator=(const WindowsReadableFile&) = delete;

  void StartRead(void* buffer, std::uint32_t length) override {
    read_ = OVERLAPPED{};
    read_.Offset = static_cast<DWORD>(offset_);
    read_.OffsetHigh = static_cast<DWORD>(offset_ >> 32);
    read_.hEvent = readDone_.get();
    started_ = kSuccess;
    pending_ = true;
    if (!ReadFile(file_.get(), buffer, length, nullptr, &read_) &&
        GetLastError() != ERROR_IO_PENDING) {
      started_ = LastError();
      pending_ = false;
    }
  }

  Status FinishRead(std::uint32_t* count) override {
    *count = 0;
    DWORD got = 0;
    Status result = started_;
    if (pending_) {
      pending_ = false;
      result = GetOverlappedResult(file_.get(), &read_, &got, TRUE) ? kSuccess : LastError();
    }
    if (result == ERROR_HANDLE_EOF) result = kSuccess;  // a read that starts past the end
    if (result != kSuccess) return result;
    offset_ += got;
    *count = got;
    return kSuccess;
  }

 private:
  Handle file_;
  Handle readDone_;
  OVERLAPPED read_{};
  std::uint64_t offset_ = 0;
  Status started_ = kSuccess;
  bool pending_ = false;
};

// Upload contents go to a hidden temporary file beside the upload, which
// takes the upload's name only when whole.
class WindowsUploadFile : public UploadFile {
 public:
  WindowsUploadFile(HANDLE handle, std::string temporary, std::string path)
      : handle_(handle), temporary_(std::move(temporary)), path_(std::move(path)) {}
  ~WindowsUploadFile() override {
    handle_.Close();
    if (!placed_) DeleteFileA(temporary_.c_str());
  }
  WindowsUploadFile(const WindowsUploadFile&) = delete;
  WindowsUploadFile& operator=(const WindowsUploadFile&) = delete;

  Status Write(const void* data, std::size_t length) override {
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
      const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(length, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(handle_.get(), next, wanted, &written, nullptr)) return LastError();
      if (written == 0) return ERROR_DISK_FULL;
      next += written;
      length -= written;
    }
    return kSuccess;
  }

  Status Commit() override {
    if (!FlushFileBuffers(handle_.get()) || !handle_.Close()) return LastError();
    // The upload is an ordinary file; only its temporary was hidden.
    if (!SetFileAttributesA(temporary_.c_str(), FILE_ATTRIBUTE_NORMAL)) return LastError();
    // Without MOVEFILE_REPLACE_EXISTING a move never replaces a file.
    if (!MoveFileA(temporary_.c_str(), path_.c_str())) return LastError();
    placed_ = true;
    return kSuccess;
  }

  long long TraceId() const override {
    return static_cast<long long>(reinterpret_cast<std::intptr_t>(handle_.get()));
  }

 private:
  Handle handle_;
  std::string temporary_;
  std::string path_;
  bool placed_ = false;
};

}  // namespace

bool AnsiCharset::IsLeadByte(unsigned char byte) const { return IsDBCSLeadByte(byte) != FALSE; }

Status WindowsFileSystem::FindFiles(const std::string& pattern, FoundEntries& found) {
  if (!FitsPath(pattern, charset_)) return ERROR_FILENAME_EXCED_RANGE;
  WIN32_FIND_DATAA data;
  const HANDLE search = FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return LastError();
  do {
    found.entries.push_back(ToFindEntry(data));
  } while (FindNextFileA(search, &data));
  FindClose(search);
  return kSuccess;
}

Status WindowsFileSystem::OpenForReading(const std::string& path,
                                         std::unique_ptr<ReadableFile>& file) {
  if (!FitsPath(path, charset_)) return ERROR_FILENAME_EXCED_RANGE;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_DIRECTORY;
  const HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  Handle opened(handle);
  // Device names ("C:\CON", "C:\x\COM1") open devices, not files.
  if (GetFileType(handle) != FILE_TYPE_DISK) return ERROR_FILE_NOT_FOUND;
  const HANDLE readDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (readDone == nullptr) return LastError();
  file = std::make_unique<WindowsReadableFile>(opened.release(), readDone);
  return kSuccess;
}

Status WindowsFileSystem::CreateUpload(const std::string& path, std::unique_ptr<UploadFile>& file) {
  if (!FitsPath(path, charset_)) return ERROR_FILENAME_EXCED_RANGE;
  const std::size_t slash = FindLastSeparator(path, charset_);
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  static DWORD counter = GetTickCount();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "~ql%08lx.tmp",
                  static_cast<unsigned long>(GetCurrentProcessId() * 2654435761u + ++counter));
    const std::string temporary = folder + name;
    const HANDLE handle = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      file = std::make_unique<WindowsUploadFile>(handle, temporary, path);
      return kSuccess;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return LastError();
  }
  return ERROR_FILE_EXISTS;
}

}  // namespace ql
