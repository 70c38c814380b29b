#include "fs/windows_file_system.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

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
  ~Handle() { CloseHandle(handle_); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

class WindowsReadableFile : public ReadableFile {
 public:
  explicit WindowsReadableFile(HANDLE handle) : handle_(handle) {}
  bool Read(void* buffer, std::uint32_t length, std::uint32_t* count) override {
    DWORD got = 0;
    const bool ok = ReadFile(handle_.get(), buffer, length, &got, nullptr) != 0;
    *count = ok ? got : 0;
    return ok;
  }

 private:
  Handle handle_;
};

class WindowsWritableFile : public WritableFile {
 public:
  explicit WindowsWritableFile(HANDLE handle) : handle_(handle) {}
  bool Write(const void* data, std::size_t length) override {
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
      const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(length, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(handle_.get(), next, wanted, &written, nullptr) || written == 0) return false;
      next += written;
      length -= written;
    }
    return true;
  }
  long long TraceId() const override {
    return static_cast<long long>(reinterpret_cast<std::intptr_t>(handle_.get()));
  }

 private:
  Handle handle_;
};

}  // namespace

bool WindowsFileSystem::FindFiles(const std::string& pattern, std::vector<FindEntry>& entries) {
  if (!FitsPath(pattern)) return false;
  WIN32_FIND_DATAA data;
  const HANDLE search = FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    entries.push_back(ToFindEntry(data));
  } while (FindNextFileA(search, &data));
  FindClose(search);
  return true;
}

std::unique_ptr<ReadableFile> WindowsFileSystem::OpenForReading(const std::string& path) {
  if (!FitsPath(path)) return nullptr;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return nullptr;
  }
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  auto file = std::make_unique<WindowsReadableFile>(handle);
  // Device names ("C:\CON", "C:\x\COM1") open devices, not files.
  if (GetFileType(handle) != FILE_TYPE_DISK) return nullptr;
  return file;
}

std::unique_ptr<WritableFile> WindowsFileSystem::CreateNew(const std::string& path) {
  if (!FitsPath(path)) return nullptr;
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<WindowsWritableFile>(handle);
}

void WindowsFileSystem::Remove(const std::string& path) { DeleteFileA(path.c_str()); }

}  // namespace ql
