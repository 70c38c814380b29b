#include "fs/windows_file_system.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <utility>

namespace ql {
namespace {

std::uint64_t Join(DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; }

std::uint64_t FromFileTime(const FILETIME& time) {
  return Join(time.dwHighDateTime, time.dwLowDateTime);
}

Status LastError() { return static_cast<Status>(GetLastError()); }

// Longer texts are no name nor path of this system.
constexpr std::size_t kLongestText = 32767;

// The ANSI bytes all convert, and no byte stands for no character.
bool ToWide(const std::string& ansi, std::wstring& wide) {
  wide.clear();
  if (ansi.empty()) return true;
  if (ansi.size() > kLongestText) return false;
  const int length = static_cast<int>(ansi.size());
  const int count =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), length, nullptr, 0);
  if (count <= 0) return false;
  wide.resize(static_cast<std::size_t>(count));
  return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), length, &wide[0], count) ==
         count;
}

// Every character is one of the code page's own: none becomes the default
// character '?' or a look-alike ("A" for "Ā").
bool ToAnsi(const std::wstring& wide, std::string& ansi) {
  ansi.clear();
  if (wide.empty()) return true;
  if (wide.size() > kLongestText) return false;
  const int length = static_cast<int>(wide.size());
  BOOL replaced = FALSE;
  const int count = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr,
                                        0, nullptr, &replaced);
  if (count <= 0 || replaced) return false;
  ansi.resize(static_cast<std::size_t>(count));
  return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, &ansi[0], count,
                             nullptr, &replaced) == count &&
         !replaced;
}

enum class NameUse {
  kFolders,  // the folders of a path: converted only
  kName,     // one name
  kPattern,  // one name that may hold the wildcards * and ?
};

// The one correspondence between the handheld's names (bytes in the system's
// ANSI code page) and the desktop's (UTF-16), both ways: `toDesktop` says
// which of the two is given, and the other is filled in. Two names correspond
// only when each converts into the other and back again to the same bytes and
// characters, and, but for the folders of a path, the name is one component
// Windows could hold (a search pattern may hold * and ?). False when the name
// has no counterpart: such a name is never listed, opened or created.
bool MapName(bool toDesktop, std::string& handheld, std::wstring& desktop, NameUse use) {
  std::string ansiBack;
  std::wstring wideBack;
  const bool exact =
      toDesktop ? ToWide(handheld, desktop) && ToAnsi(desktop, ansiBack) && ansiBack == handheld
                : ToAnsi(desktop, handheld) && ToWide(handheld, wideBack) && wideBack == desktop;
  if (!exact) return false;
  static const AnsiCharset charset;
  return use == NameUse::kFolders ||
         IsWindowsNameComponent(handheld, charset, use == NameUse::kPattern);
}

std::optional<std::wstring> DesktopName(std::string handheld, NameUse use) {
  std::wstring desktop;
  if (!MapName(true, handheld, desktop, use)) return std::nullopt;
  return desktop;
}

std::optional<std::string> HandheldName(std::wstring desktop) {
  std::string handheld;
  if (!MapName(false, handheld, desktop, NameUse::kName)) return std::nullopt;
  return handheld;
}

// A handheld path on the desktop's side.
struct DesktopPath {
  std::wstring folder;  // up to and with the last separator
  std::wstring name;    // the last component
  std::wstring Whole() const { return folder + name; }
};

// The desktop's path for the handheld's "X:\folders\name": the folders
// converted exactly, the last component mapped as `use` says. Fails with
// `refused` when the last component does not map, ERROR_PATH_NOT_FOUND when
// a folder does not, and ERROR_INVALID_NAME for a path that does not start at
// a drive's root ("\\server\share", "\\.\device", "C:relative").
Status ToDesktopPath(const std::string& path, NameUse use, Status refused,
                     const HandheldCharset& charset, DesktopPath& desktop) {
  const auto drive = static_cast<unsigned char>(path.empty() ? 0 : path[0] | 0x20);
  if (path.size() < 3 || drive < 'a' || drive > 'z' || path[1] != ':' ||
      (path[2] != '\\' && path[2] != '/') || path.find('\0') != std::string::npos) {
    return ERROR_INVALID_NAME;
  }
  const std::size_t cut = FindLastSeparator(path, charset) + 1;
  const std::optional<std::wstring> folder = DesktopName(path.substr(0, cut), NameUse::kFolders);
  if (!folder) return ERROR_PATH_NOT_FOUND;
  const std::optional<std::wstring> name = DesktopName(path.substr(cut), use);
  if (!name) return refused;
  desktop.folder = *folder;
  desktop.name = *name;
  return kSuccess;
}

bool IsDotEntry(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

FindEntry ToFindEntry(const WIN32_FIND_DATAW& data, std::string name) {
  FindEntry entry;
  entry.attributes = data.dwFileAttributes;
  entry.creationTime = FromFileTime(data.ftCreationTime);
  entry.lastAccessTime = FromFileTime(data.ftLastAccessTime);
  entry.lastWriteTime = FromFileTime(data.ftLastWriteTime);
  entry.size = Join(data.nFileSizeHigh, data.nFileSizeLow);
  entry.name = std::move(name);
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

// Owns one directory search.
class Search {
 public:
  Search(const std::wstring& pattern, WIN32_FIND_DATAW& data)
      : search_(FindFirstFileW(pattern.c_str(), &data)) {}
  ~Search() {
    if (IsOpen()) FindClose(search_);
  }
  Search(const Search&) = delete;
  Search& operator=(const Search&) = delete;
  bool IsOpen() const { return search_ != INVALID_HANDLE_VALUE; }
  bool Next(WIN32_FIND_DATAW& data) { return FindNextFileW(search_, &data) != FALSE; }

 private:
  HANDLE search_;
};

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

  Status Stat(FileStamp& stamp) const override {
    LARGE_INTEGER size;
    FILETIME written;
    if (!GetFileSizeEx(file_.get(), &size) ||
        !GetFileTime(file_.get(), nullptr, nullptr, &written)) {
      return LastError();
    }
    stamp.size = static_cast<std::uint64_t>(size.QuadPart);
    stamp.lastWriteTime = FromFileTime(written);
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

// The attributes SetFileAttributes changes; it ignores the others.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                      FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;

// Upload contents go to a hidden temporary file beside the upload, which
// takes the upload's name only when whole. The temporary is open, sharing
// only deletion, until then: no other program reads or writes it meanwhile,
// and the clean-up of abandoned temporaries cannot take it.
class WindowsUploadFile : public UploadFile {
 public:
  WindowsUploadFile(HANDLE handle, std::wstring folder, std::wstring temporary, std::wstring path)
      : handle_(handle),
        traceId_(static_cast<long long>(reinterpret_cast<std::intptr_t>(handle))),
        folder_(std::move(folder)),
        temporary_(std::move(temporary)),
        path_(std::move(path)) {}
  ~WindowsUploadFile() override {
    // Removed while still open, so that the name removed is surely this file's.
    if (!placed_) DeleteFileW(temporary_.c_str());
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

  // Placed while the temporary is still open: the handle shares deletion,
  // which a move needs.
  Status Commit() override {
    BY_HANDLE_FILE_INFORMATION information;
    if (!FlushFileBuffers(handle_.get()) ||
        !GetFileInformationByHandle(handle_.get(), &information)) {
      return LastError();
    }
    // The upload is an ordinary file; only its temporary was hidden.
    const DWORD attributes =
        information.dwFileAttributes & kSettableAttributes & ~FILE_ATTRIBUTE_HIDDEN;
    if (!SetFileAttributesW(temporary_.c_str(),
                            attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL)) {
      return Failure();
    }
    // Without MOVEFILE_REPLACE_EXISTING a move never replaces a file.
    if (!MoveFileExW(temporary_.c_str(), path_.c_str(), 0)) return Failure();
    placed_ = true;
    handle_.Close();
    return kSuccess;
  }

  long long TraceId() const override { return traceId_; }

 private:
  // Why the temporary could not be used by its name: it is gone while its
  // folder is still there, because someone at the desktop removed or renamed
  // it, or the system's own cause.
  Status Failure() const {
    const DWORD error = GetLastError();
    const DWORD folder = GetFileAttributesW(folder_.c_str());
    if (error == ERROR_FILE_NOT_FOUND && folder != INVALID_FILE_ATTRIBUTES &&
        (folder & FILE_ATTRIBUTE_DIRECTORY)) {
      return kUploadTemporaryRemoved;
    }
    return static_cast<Status>(error);
  }

  Handle handle_;
  long long traceId_;
  std::wstring folder_;
  std::wstring temporary_;
  std::wstring path_;
  bool placed_ = false;
};

// For showing only: a character the code page lacks becomes '?'.
std::string ShownAnsi(const std::wstring& wide) {
  if (wide.empty() || wide.size() > kLongestText) return std::string();
  const int length = static_cast<int>(wide.size());
  const int count =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return std::string();
  std::string ansi(static_cast<std::size_t>(count), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), length, &ansi[0], count, nullptr, nullptr);
  return ansi;
}

}  // namespace

bool AnsiCharset::IsLeadByte(unsigned char byte) const { return IsDBCSLeadByte(byte) != FALSE; }

Status WindowsFileSystem::FindFiles(const std::string& pattern, FoundEntries& found) {
  if (!FitsPath(pattern, charset_)) return ERROR_FILENAME_EXCED_RANGE;
  DesktopPath desktop;
  const Status converted =
      ToDesktopPath(pattern, NameUse::kPattern, ERROR_FILE_NOT_FOUND, charset_, desktop);
  if (converted != kSuccess) return converted;
  WIN32_FIND_DATAW data;
  Search search(desktop.Whole(), data);
  if (!search.IsOpen()) return LastError();
  std::vector<FindEntry>& entries = found.entries;
  const std::size_t before = entries.size();
  do {
    if (IsDotEntry(data.cFileName)) {
      entries.push_back(ToFindEntry(data, data.cFileName[1] == L'\0' ? "." : ".."));
      continue;
    }
    std::optional<std::string> name = HandheldName(data.cFileName);
    if (name && IsUploadTemporaryName(*name)) continue;
    // A name the handheld could not ask for is left out, and counted: one
    // with no handheld name of its own, and one too long for a listing record.
    if (!name || name->size() >= kNameFieldSize) {
      ++found.leftOut;
      continue;
    }
    entries.push_back(ToFindEntry(data, std::move(*name)));
  } while (search.Next(data));
  // A search that broke off is no listing.
  if (GetLastError() != ERROR_NO_MORE_FILES) return LastError();
  return entries.size() > before ? kSuccess : ERROR_FILE_NOT_FOUND;
}

Status WindowsFileSystem::OpenForReading(const std::string& path,
                                         std::unique_ptr<ReadableFile>& file) {
  if (!FitsPath(path, charset_)) return ERROR_FILENAME_EXCED_RANGE;
  // A wildcard is no character of a name: such a path names no file.
  DesktopPath desktop;
  const Status converted =
      ToDesktopPath(path, NameUse::kName, ERROR_FILE_NOT_FOUND, charset_, desktop);
  if (converted != kSuccess) return converted;
  const std::wstring whole = desktop.Whole();
  const DWORD attributes = GetFileAttributesW(whole.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_DIRECTORY;
  // Shared with readers only: no program writes the file while it is sent,
  // and one that has it open for writing makes this fail as in use.
  const HANDLE handle =
      CreateFileW(whole.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
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

std::string WindowsFileSystem::UploadNameProblem(const std::string& name) const {
  if (DesktopName(name, NameUse::kName)) return {};
  return "the name is not valid in code page " + std::to_string(GetACP());
}

Status WindowsFileSystem::CreateUpload(const std::string& path, std::unique_ptr<UploadFile>& file) {
  if (!FitsPath(path, charset_)) return ERROR_FILENAME_EXCED_RANGE;
  if (UploadNameRefusal(UploadNameOf(path, charset_), charset_) != nullptr) {
    return ERROR_INVALID_NAME;
  }
  DesktopPath desktop;
  const Status converted =
      ToDesktopPath(path, NameUse::kName, ERROR_INVALID_NAME, charset_, desktop);
  if (converted != kSuccess) return converted;
  static std::mt19937_64 random{[] {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<std::uint64_t>(now.QuadPart) ^
           (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) ^ GetTickCount();
  }()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring temporary =
        desktop.folder + *DesktopName(UploadTemporaryName(random()), NameUse::kName);
    const HANDLE handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      file = std::make_unique<WindowsUploadFile>(handle, desktop.folder, std::move(temporary),
                                                 desktop.Whole());
      return kSuccess;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return LastError();
  }
  return ERROR_FILE_EXISTS;
}

void WindowsFileSystem::RemoveAbandonedTemporaries(const std::string& folder) const {
  DesktopPath desktop;
  if (ToDesktopPath(folder + "*", NameUse::kPattern, ERROR_INVALID_NAME, charset_, desktop) !=
      kSuccess) {
    return;
  }
  WIN32_FIND_DATAW data;
  Search search(desktop.Whole(), data);
  if (!search.IsOpen()) return;
  do {
    const std::optional<std::string> name = HandheldName(data.cFileName);
    if (!name || !IsUploadTemporaryName(*name) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      continue;
    }
    // Taken whole, sharing nothing, it goes when closed; a live upload's
    // handle makes this fail with a sharing violation and keeps it. A link
    // under such a name goes itself, never what it leads to.
    const HANDLE abandoned =
        CreateFileW((desktop.folder + data.cFileName).c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (abandoned != INVALID_HANDLE_VALUE) CloseHandle(abandoned);
  } while (search.Next(data));
}

std::wstring VirtualStoreFolder() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  // Windows XP knows no such class and fails the call: nothing is virtualized there.
  DWORD virtualized = 0;
  DWORD size = 0;
  const BOOL known = GetTokenInformation(token, TokenVirtualizationEnabled, &virtualized,
                                         sizeof virtualized, &size);
  CloseHandle(token);
  wchar_t localAppData[MAX_PATH];
  if (!known || virtualized == 0 ||
      SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, localAppData) !=
          S_OK) {
    return std::wstring();
  }
  return std::wstring(localAppData) + L"\\VirtualStore";
}

std::string VirtualStorePlace(const std::string& path, const std::wstring& virtualStore) {
  static const AnsiCharset charset;
  DesktopPath desktop;
  if (virtualStore.empty() ||
      ToDesktopPath(path, NameUse::kName, ERROR_INVALID_NAME, charset, desktop) != kSuccess) {
    return std::string();
  }
  // The store mirrors the drive's folders without the drive letter. An
  // upload never replaces a file, and a file in the store shows in C:\ to
  // this program, so a file found there is the one just stored.
  const std::wstring place = virtualStore + desktop.Whole().substr(2);
  if (GetFileAttributesW(place.c_str()) == INVALID_FILE_ATTRIBUTES) return std::string();
  return ShownAnsi(place);
}

}  // namespace ql
