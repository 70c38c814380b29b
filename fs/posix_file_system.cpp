#include "fs/posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "fs/handheld_path.h"

namespace ql {

struct PosixFileSystem::HostPath {
  std::string root;          // the drive's folder, symbolic links resolved
  std::string folder;        // the folder that holds the entry, resolved, inside `root`
  bool isDriveRoot = false;  // the handheld named the drive's root itself
  std::string ansiName;      // the last component as the handheld wrote it
  std::string name;          // the host's name of the existing entry it means
};

namespace {

// FILETIME of the unix epoch: 100 ns units since 1601-01-01 UTC.
constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ULL;

std::uint64_t ToFileTime(const timespec& time) {
  const long long units = static_cast<long long>(time.tv_sec) * 10000000LL + time.tv_nsec / 100;
  return units < -static_cast<long long>(kUnixEpochFileTime)
             ? 0
             : static_cast<std::uint64_t>(units) + kUnixEpochFileTime;
}

struct HostStat {
  mode_t mode = 0;
  std::uint64_t size = 0;
  timespec access{};
  timespec write{};
  timespec creation{};
};

#if defined(__linux__) && defined(STATX_BTIME)
timespec FromStatx(const statx_timestamp& time) {
  timespec result{};
  result.tv_sec = static_cast<time_t>(time.tv_sec);
  result.tv_nsec = static_cast<long>(time.tv_nsec);
  return result;
}
#endif

// Follows symbolic links. The creation time is the birth time where the
// system keeps one, else the last status change.
bool StatAt(int folderFd, const char* name, HostStat& result) {
#if defined(__linux__) && defined(STATX_BTIME)
  struct statx extended {};
  if (statx(folderFd, name, AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME, &extended) == 0) {
    result.mode = extended.stx_mode;
    result.size = extended.stx_size;
    result.access = FromStatx(extended.stx_atime);
    result.write = FromStatx(extended.stx_mtime);
    result.creation =
        FromStatx((extended.stx_mask & STATX_BTIME) ? extended.stx_btime : extended.stx_ctime);
    return true;
  }
  if (errno != ENOSYS && errno != EPERM) return false;  // old kernels, strict sandboxes
#endif
  struct stat status {};
  if (fstatat(folderFd, name, &status, 0) != 0) return false;
  result.mode = status.st_mode;
  result.size = static_cast<std::uint64_t>(status.st_size);
#if defined(__APPLE__)
  result.access = status.st_atimespec;
  result.write = status.st_mtimespec;
  result.creation = status.st_birthtimespec;
#else
  result.access = status.st_atim;
  result.write = status.st_mtim;
  result.creation = status.st_ctim;
#endif
  return true;
}

bool IsLinkAt(int folderFd, const char* name, unsigned char type) {
  if (type != DT_UNKNOWN) return type == DT_LNK;
  struct stat status {};
  return fstatat(folderFd, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

std::string RealPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return std::string();
  std::string result(resolved);
  std::free(resolved);
  return result;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

bool IsInside(const std::string& root, const std::string& path) {
  if (path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || root == "/" || path[root.size()] == '/';
}

bool IsDotEntry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Closes what it owns on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

class Folder {
 public:
  explicit Folder(const std::string& path) : dir_(opendir(path.c_str())) {}
  ~Folder() {
    if (dir_) closedir(dir_);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  bool IsOpen() const { return dir_ != nullptr; }
  int Fd() const { return dirfd(dir_); }
  // The next entry other than "." and ".."; null at the end.
  const dirent* Next() {
    const dirent* entry = readdir(dir_);
    while (entry && IsDotEntry(entry->d_name)) entry = readdir(dir_);
    return entry;
  }

 private:
  DIR* dir_;
};

class PosixReadableFile : public ReadableFile {
 public:
  explicit PosixReadableFile(int fd) : fd_(fd) {}
  bool Read(void* buffer, std::uint32_t length, std::uint32_t* count) override {
    ssize_t got;
    do {
      got = read(fd_.get(), buffer, length);
    } while (got < 0 && errno == EINTR);
    *count = got > 0 ? static_cast<std::uint32_t>(got) : 0;
    return got >= 0;
  }

 private:
  Descriptor fd_;
};

class PosixWritableFile : public WritableFile {
 public:
  explicit PosixWritableFile(int fd) : fd_(fd) {}
  bool Write(const void* data, std::size_t length) override {
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
      const ssize_t written = write(fd_.get(), next, std::min<std::size_t>(length, 1u << 30));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      next += written;
      length -= static_cast<std::size_t>(written);
    }
    return true;
  }
  long long TraceId() const override { return fd_.get(); }

 private:
  Descriptor fd_;
};

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  const passwd* user = getpwuid(getuid());
  return user && user->pw_dir ? user->pw_dir : std::string();
}

DriveTable WithDefaultDrive(const DriveTable& drives) {
  DriveTable result;
  for (const auto& drive : drives) {
    result[static_cast<char>(std::toupper(static_cast<unsigned char>(drive.first)))] = drive.second;
  }
  if (result.empty()) {
    const std::string home = HomeFolder();
    if (!home.empty()) result['C'] = home;
  }
  return result;
}

std::string UpperName(const std::string& name, const CodePage& codePage) {
  std::string upper = name;
  for (char& c : upper) c = codePage.Upper(c);
  return upper;
}

}  // namespace

PosixFileSystem::PosixFileSystem(const DriveTable& drives, CodePage codePage)
    : drives_(WithDefaultDrive(drives)), codePage_(std::move(codePage)) {}

// Walks the folder part of a handheld path from the drive's folder down and
// makes sure that, links followed, it ends inside that folder.
bool PosixFileSystem::ResolveFolder(const std::string& text, HostPath& resolved) const {
  HandheldPath path;
  if (!ParseHandheldPath(text, path)) return false;
  const auto drive = drives_.find(path.drive);
  if (drive == drives_.end()) return false;
  resolved.root = RealPath(drive->second);
  if (resolved.root.empty()) return false;
  std::string folder = resolved.root;
  for (const std::string& component : path.folders) {
    std::string name;
    if (!ResolveName(folder, component, name)) return false;
    folder = Join(folder, name);
  }
  resolved.folder = RealPath(folder);
  struct stat status {};
  if (resolved.folder.empty() || !IsInside(resolved.root, resolved.folder) ||
      stat(resolved.folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    return false;
  }
  resolved.isDriveRoot = path.folders.empty();
  resolved.ansiName = path.name;
  return true;
}

// The entry that Windows would open for `ansi`: the name as written when it
// exists, else the first one equal but for case.
bool PosixFileSystem::ResolveName(const std::string& folder, const std::string& ansi,
                                  std::string& name) const {
  name = codePage_.ToHost(ansi);
  struct stat status {};
  if (lstat(Join(folder, name).c_str(), &status) == 0) return true;
  Folder listing(folder);
  if (!listing.IsOpen()) return false;
  while (const dirent* entry = listing.Next()) {
    if (SameName(codePage_.ToHandheld(entry->d_name), ansi, codePage_)) {
      name = entry->d_name;
      return true;
    }
  }
  return false;
}

bool PosixFileSystem::ResolveExisting(const std::string& path, HostPath& resolved) const {
  return ResolveFolder(path, resolved) && !resolved.ansiName.empty() &&
         ResolveName(resolved.folder, resolved.ansiName, resolved.name);
}

// Fills `entry`, but for its name, with what Windows would report; false for entries that are
// not listed: special files, broken links, links that leave the drive.
bool PosixFileSystem::Describe(const HostPath& path, int folderFd, const char* name,
                               unsigned char type, FindEntry& entry) const {
  HostStat status;
  if (!StatAt(folderFd, name, status)) return false;
  const bool isFolder = S_ISDIR(status.mode);
  if (!isFolder && !S_ISREG(status.mode)) return false;
  if (IsLinkAt(folderFd, name, type) && !IsInside(path.root, RealPath(Join(path.folder, name)))) {
    return false;
  }
  // Root may write anything; a file nobody may write still shows as read-only.
  const bool readOnly =
      faccessat(folderFd, name, W_OK, 0) != 0 || (status.mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  entry.attributes = (isFolder ? kAttributeDirectory : kAttributeArchive) |
                     (readOnly ? kAttributeReadOnly : 0) |
                     (name[0] == '.' && !IsDotEntry(name) ? kAttributeHidden : 0);
  entry.creationTime = ToFileTime(status.creation);
  entry.lastAccessTime = ToFileTime(status.access);
  entry.lastWriteTime = ToFileTime(status.write);
  entry.size = isFolder ? 0 : status.size;
  return true;
}

bool PosixFileSystem::FindOne(const HostPath& path, std::vector<FindEntry>& entries) const {
  const Descriptor folder(open(path.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  FindEntry entry;
  if (folder.get() < 0 || !Describe(path, folder.get(), path.name.c_str(), DT_UNKNOWN, entry)) {
    return false;
  }
  entry.name = codePage_.ToHandheld(path.name);
  entries.push_back(std::move(entry));
  return true;
}

// One pass over the folder, one status query per matching entry.
bool PosixFileSystem::ListFolder(const HostPath& path, const WildcardPattern& pattern,
                                 std::vector<FindEntry>& entries) const {
  Folder folder(path.folder);
  if (!folder.IsOpen()) return false;
  const std::size_t before = entries.size();
  // Windows yields the folder itself and its parent first, except at a drive's root.
  for (const char* dots : {".", ".."}) {
    FindEntry entry;
    if (!path.isDriveRoot && pattern.Matches(dots) &&
        Describe(path, folder.Fd(), dots, DT_DIR, entry)) {
      entry.name = dots;
      entries.push_back(std::move(entry));
    }
  }
  std::vector<std::pair<std::string, FindEntry>> named;  // by upper-case name
  while (const dirent* hostEntry = folder.Next()) {
    FindEntry entry;
    entry.name = codePage_.ToHandheld(hostEntry->d_name);
    if (pattern.Matches(entry.name) &&
        Describe(path, folder.Fd(), hostEntry->d_name, hostEntry->d_type, entry)) {
      named.emplace_back(UpperName(entry.name, codePage_), std::move(entry));
    }
  }
  // In name order, as a Windows disk yields them, rather than the host's hash order.
  std::sort(named.begin(), named.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& item : named) entries.push_back(std::move(item.second));
  return entries.size() > before;
}

bool PosixFileSystem::FindFiles(const std::string& pattern, std::vector<FindEntry>& entries) {
  HostPath path;
  if (!ResolveFolder(pattern, path) || path.ansiName.empty()) return false;
  const WildcardPattern wildcards(path.ansiName, codePage_);
  if (wildcards.HasWildcards()) return ListFolder(path, wildcards, entries);
  return ResolveName(path.folder, path.ansiName, path.name) && FindOne(path, entries);
}

std::unique_ptr<ReadableFile> PosixFileSystem::OpenForReading(const std::string& pathText) {
  HostPath path;
  if (!ResolveExisting(pathText, path)) return nullptr;
  const std::string real = RealPath(Join(path.folder, path.name));
  if (real.empty() || !IsInside(path.root, real)) return nullptr;
  // Non-blocking, so that a fifo cannot stall the open; refused right after.
  Descriptor fd(open(real.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat status {};
  if (fd.get() < 0 || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
  return std::make_unique<PosixReadableFile>(fd.release());
}

std::unique_ptr<WritableFile> PosixFileSystem::CreateNew(const std::string& pathText) {
  HostPath path;
  std::string existing;
  // A name that differs only in case is the same file for the handheld.
  if (!ResolveFolder(pathText, path) || path.ansiName.empty() ||
      ResolveName(path.folder, path.ansiName, existing)) {
    return nullptr;
  }
  const std::string host = Join(path.folder, codePage_.ToHost(path.ansiName));
  const int fd = open(host.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixWritableFile>(fd);
}

void PosixFileSystem::Remove(const std::string& pathText) {
  HostPath path;
  if (ResolveExisting(pathText, path)) unlink(Join(path.folder, path.name).c_str());
}

}  // namespace ql
