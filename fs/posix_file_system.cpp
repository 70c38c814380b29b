#include "fs/posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>
#include <random>
#include <system_error>
#include <utility>

#include "fs/descriptor.h"
#include "fs/handheld_path.h"
#include "fs/wildcard_pattern.h"
#include "link/name_rules.h"

namespace ql {

namespace {

std::uint64_t ToFileTime(const timespec& time) {
  const long long units =
      static_cast<long long>(time.tv_sec) * static_cast<long long>(kFileTimeUnitsPerSecond) +
      time.tv_nsec / 100;
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

// Never follows a symbolic link: the caller judges where it leads. The
// creation time is the birth time where the system keeps one, else the last
// status change.
bool StatAt(int folderFd, const char* name, HostStat& result) {
#if defined(__linux__) && defined(STATX_BTIME)
  struct statx extended {};
  if (statx(folderFd, name, AT_NO_AUTOMOUNT | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
            &extended) == 0) {
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
  if (fstatat(folderFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
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

bool IsDotEntry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// A fresh description of the folder itself, so that each use reads it from its start.
int Reopen(int folderFd) { return openat(folderFd, ".", kFolderFlags); }

class Folder {
 public:
  explicit Folder(int folderFd) : dir_(nullptr) {
    const int fd = Reopen(folderFd);
    if (fd >= 0 && !(dir_ = fdopendir(fd))) close(fd);
  }
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

// The next piece is read on a thread of its own while the current one goes out.
class PosixReadableFile : public ReadableFile {
 public:
  explicit PosixReadableFile(int fd) : fd_(fd) {}
  ~PosixReadableFile() override {
    if (read_.valid()) read_.wait();
  }
  PosixReadableFile(const PosixReadableFile&) = delete;
  PosixReadableFile& operator=(const PosixReadableFile&) = delete;

  void StartRead(void* buffer, std::uint32_t length) override {
    const auto read = [this, buffer, length] {
      return ReadFully(static_cast<char*>(buffer), length);
    };
    try {
      read_ = std::async(std::launch::async, read);
    } catch (const std::system_error&) {  // no thread to spare: read when asked
      read_ = std::async(std::launch::deferred, read);
    }
  }
  Status FinishRead(std::uint32_t* count) override {
    const std::pair<Status, std::uint32_t> done = read_.get();
    *count = done.second;
    return done.first;
  }
  Status Stat(FileStamp& stamp) const override {
    struct stat status {};
    if (fstat(fd_.get(), &status) != 0) return errno;
    stamp.size = static_cast<std::uint64_t>(status.st_size);
#if defined(__APPLE__)
    stamp.lastWriteTime = ToFileTime(status.st_mtimespec);
#else
    stamp.lastWriteTime = ToFileTime(status.st_mtim);
#endif
    return kSuccess;
  }

 private:
  std::pair<Status, std::uint32_t> ReadFully(char* buffer, std::uint32_t length) const {
    std::uint32_t filled = 0;
    while (filled < length) {
      const ssize_t got = read(fd_.get(), buffer + filled, length - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return {errno, filled};
      if (got == 0) break;
      filled += static_cast<std::uint32_t>(got);
    }
    return {kSuccess, filled};
  }

  Descriptor fd_;
  std::future<std::pair<Status, std::uint32_t>> read_;
};

// Whether `name` in the folder is still the file open as `fd`.
bool StillNamed(int folderFd, const char* name, int fd) {
  struct stat opened {};
  struct stat named {};
  return fstat(fd, &opened) == 0 && fstatat(folderFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

// Removes the upload temporaries in a folder that no live upload holds
// locked: a server that ended without cleaning up left them.
void RemoveAbandonedTemporaries(int folderFd) {
  Folder folder(folderFd);
  if (!folder.IsOpen()) return;
  while (const dirent* entry = folder.Next()) {
    if (!IsUploadTemporaryName(entry->d_name)) continue;
    const Descriptor fd(openat(folder.Fd(), entry->d_name,
                               O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    if (fd.get() < 0 || fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_uid != geteuid() || flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      continue;
    }
    // Still the file that was judged, not one put under its name since.
    if (StillNamed(folder.Fd(), entry->d_name, fd.get())) unlinkat(folder.Fd(), entry->d_name, 0);
  }
}

// Gives `from` the name `to` in the same folder unless `to` exists: the
// system's exclusive rename, or a second link and the first one's removal
// where the file system offers no such rename.
Status PlaceWithoutReplacing(int folderFd, const char* from, const char* to) {
#if defined(__APPLE__)
  if (renameatx_np(folderFd, from, folderFd, to, RENAME_EXCL) == 0) return kSuccess;
#elif defined(__linux__)
  if (renameat2(folderFd, from, folderFd, to, RENAME_NOREPLACE) == 0) return kSuccess;
#else
  errno = ENOTSUP;
#endif
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  if (linkat(folderFd, from, folderFd, to, 0) != 0) return errno;
  unlinkat(folderFd, from, 0);
  return kSuccess;
}

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;

bool ReadLink(int folderFd, const std::string& name, std::string& target) {
  char buffer[PATH_MAX];
  const ssize_t length = readlinkat(folderFd, name.c_str(), buffer, sizeof buffer);
  if (length < 0) return false;
  target.assign(buffer, static_cast<std::size_t>(length));
  return true;
}

void AppendComponents(const std::string& path, std::vector<std::string>& components) {
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end > start) components.push_back(path.substr(start, end - start));
    start = end + 1;
  }
}

#if defined(__linux__) && defined(SYS_openat2)
std::string JoinComponents(const std::vector<std::string>& components, std::size_t count) {
  std::string path = ".";
  for (std::size_t i = 0; i < count; ++i) path += "/" + components[i];
  return path;
}

// The kernel keeps the whole walk below `folderFd` and follows no link: a
// path with a link in it fails with ELOOP, an escape with EXDEV.
int OpenBeneathByKernel(int folderFd, const std::string& path, int flags) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  return static_cast<int>(syscall(SYS_openat2, folderFd, path.c_str(), &how, sizeof how));
}
#endif

}  // namespace

// The handheld's path resolved below a drive: `folder` is open on the folder
// that holds the entry, reached as `folderPath` (host names) from the drive.
struct PosixFileSystem::HostPath {
  const Drive* drive = nullptr;
  std::vector<std::string> folderPath;
  Descriptor folder{-1};
  bool isDriveRoot = false;  // the handheld named the drive's root itself
  std::string ansiName;      // the last component as the handheld wrote it
  std::string name;          // the host's name of the existing entry it means
};

Status PosixFileSystem::OpenDrive(const std::string& folder, Drive& drive, int extraFlags) {
  Descriptor fd(open(folder.c_str(), kFolderFlags | extraFlags));
  struct stat status {};
  if (fd.get() < 0 || fstat(fd.get(), &status) != 0) return errno;
  drive.owner = status.st_uid;
  char* real = realpath(folder.c_str(), nullptr);
  if (real == nullptr) return errno;
  drive.realPath = real;
  std::free(real);
  drive.fd = fd.release();
  return kSuccess;
}

PosixFileSystem::PosixFileSystem(const DriveTable& drives, CodePage codePage)
    : codePage_(std::move(codePage)) {
  for (const auto& [letter, folder] : drives) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    Drive drive;
    if (OpenDrive(folder, drive, 0) != kSuccess) continue;
    RemoveAbandonedTemporaries(drive.fd);
    const auto previous = open_.find(upper);
    if (previous != open_.end()) close(previous->second.fd);
    open_[upper] = drive;
    drives_[upper] = folder;
  }
}

PosixFileSystem::~PosixFileSystem() {
  for (const auto& drive : open_) close(drive.second.fd);
}

const PosixFileSystem::Drive* PosixFileSystem::Reach(char letter, Status& status) {
  const auto drive = open_.find(letter);
  if (drive == open_.end()) {
    status = ENOENT;
    return nullptr;
  }
  Drive& served = drive->second;
  struct stat folder {};
  if (!served.replaced && fstat(served.fd, &folder) == 0 && folder.st_nlink > 0) return &served;
  // Removed: a folder made again under its path is served again, but only a
  // real folder of the same owner; a link or another user's folder there is
  // never served, until the server starts again.
  Drive again;
  // A trailing slash would have the system follow a link in the folder's place.
  std::string folderPath = drives_[letter];
  while (folderPath.size() > 1 && folderPath.back() == '/') folderPath.pop_back();
  status = served.replaced ? kDriveReplaced : OpenDrive(folderPath, again, O_NOFOLLOW);
  if (status == ELOOP || status == ENOTDIR || (status == kSuccess && again.owner != served.owner)) {
    status = kDriveReplaced;
  }
  if (status == kDriveReplaced) {
    served.replaced = true;
    if (again.fd >= 0) close(again.fd);
  }
  if (status != kSuccess) return nullptr;
  close(served.fd);
  served = again;
  return &served;
}

// Finds the entry `path` names below the drive, following the links that stay
// inside it and that its owner or this user made. Returns the open folder that holds the entry,
// with `name` its name there (never a link; "." for the drive itself); -1 with errno set when the
// entry's folder is missing or the path leads outside the drive.
int PosixFileSystem::OpenBeneath(const Drive& drive, std::vector<std::string> path,
                                 std::string& name) {
  if (path.empty()) {
    name = ".";
    return Reopen(drive.fd);
  }
#if defined(__linux__) && defined(SYS_openat2)
  static std::atomic<bool> kernelRefuses{false};
  if (!kernelRefuses) {
    Descriptor folder(
        OpenBeneathByKernel(drive.fd, JoinComponents(path, path.size() - 1), kFolderFlags));
    std::string target;
    if (folder.get() >= 0 && !ReadLink(folder.get(), path.back(), target)) {
      name = path.back();
      return folder.release();
    }
    // Old kernels and sandboxes refuse the call. A path through a link is
    // left to the walk below, which follows only the links that stay inside
    // and that the drive's owner or this user made.
    if (folder.get() < 0 && (errno == ENOSYS || errno == EPERM)) kernelRefuses = true;
    if (folder.get() < 0 && errno != ENOSYS && errno != EPERM && errno != EXDEV && errno != ELOOP &&
        errno != EAGAIN) {
      return -1;
    }
  }
#endif
  // One component at a time from the drive, no link followed by the system:
  // a link (or "..") is read and spelled out from the drive again.
  for (int links = 0; links <= kMaxLinks;) {
    Descriptor folder(Reopen(drive.fd));
    std::vector<std::string> walked;  // real folders, from the drive down
    std::string target;
    std::size_t at = 0;
    for (; at < path.size() && folder.get() >= 0; ++at) {
      const std::string& part = path[at];
      if (part == ".") continue;
      if (part == "..") break;
      if (ReadLink(folder.get(), part, target)) {
        struct stat link {};
        if (fstatat(folder.get(), part.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 ||
            (link.st_uid != drive.owner && link.st_uid != geteuid())) {
          folder.reset(-1);
          errno = ENOENT;  // planted by someone else: not there for the handheld
        }
        break;
      }
      if (at + 1 == path.size()) {
        name = part;
        return folder.release();
      }
      folder.reset(openat(folder.get(), part.c_str(), kFolderFlags | O_NOFOLLOW));
      walked.push_back(part);
    }
    if (folder.get() < 0) return -1;
    if (at == path.size()) {
      name = ".";
      return folder.release();
    }
    std::vector<std::string> next;
    if (path[at] == "..") {
      if (walked.empty()) break;
      walked.pop_back();
      next = std::move(walked);
    } else {
      ++links;
      const std::string& root = drive.realPath;
      if (target[0] != '/') {
        next = std::move(walked);
        AppendComponents(target, next);
      } else if (target.compare(0, root.size(), root) == 0 &&
                 (root == "/" || target.size() == root.size() || target[root.size()] == '/')) {
        AppendComponents(target.substr(root.size()), next);
      } else {
        break;
      }
    }
    next.insert(next.end(), path.begin() + static_cast<std::ptrdiff_t>(at) + 1, path.end());
    path = std::move(next);
  }
  errno = ENOENT;  // outside the drive, or too many links: not there for the handheld
  return -1;
}

int PosixFileSystem::OpenFolder(const Drive& drive, const std::vector<std::string>& path) {
  std::string name;
  const Descriptor parent(OpenBeneath(drive, path, name));
  return parent.get() < 0 ? -1 : openat(parent.get(), name.c_str(), kFolderFlags | O_NOFOLLOW);
}

// Walks the folder part of a handheld path from the drive down.
Status PosixFileSystem::ResolveFolder(const std::string& text, HostPath& resolved) {
  HandheldPath path;
  if (!ParseHandheldPath(text, path, codePage_)) return ENOENT;
  Status status = kSuccess;
  resolved.drive = Reach(path.drive, status);
  if (resolved.drive == nullptr) return status;
  resolved.folder.reset(Reopen(resolved.drive->fd));
  for (const std::string& component : path.folders) {
    if (resolved.folder.get() < 0) return errno;
    std::string name;
    status = ResolveName(resolved.folder.get(), component, name);
    if (status != kSuccess) return status;
    resolved.folderPath.push_back(name);
    resolved.folder.reset(OpenFolder(*resolved.drive, resolved.folderPath));
  }
  resolved.isDriveRoot = path.folders.empty();
  resolved.ansiName = path.name;
  return resolved.folder.get() >= 0 ? kSuccess : errno;
}

// The entry that Windows would open for `ansi`: the host name it maps to when
// that exists, else the first name equal but for case among those that map.
Status PosixFileSystem::ResolveName(int folderFd, const std::string& ansi,
                                    std::string& name) const {
  const std::optional<std::string> host = codePage_.HostName(ansi);
  if (!host) return ENOENT;
  name = *host;
  if (IsUploadTemporaryName(name)) return ENOENT;  // an upload under way, or a crash's
  struct stat status {};
  if (fstatat(folderFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) return kSuccess;
  if (errno != ENOENT) return errno;
  Folder listing(folderFd);
  if (!listing.IsOpen()) return errno;
  const std::u32string wanted = codePage_.UpperHostChars(name);
  while (const dirent* entry = listing.Next()) {
    if (codePage_.UpperHostChars(entry->d_name) == wanted &&
        !IsUploadTemporaryName(entry->d_name) && codePage_.HandheldName(entry->d_name)) {
      name = entry->d_name;
      return kSuccess;
    }
  }
  return ENOENT;
}

Status PosixFileSystem::ResolveExisting(const std::string& path, HostPath& resolved) {
  const Status folder = ResolveFolder(path, resolved);
  if (folder != kSuccess) return folder;
  if (resolved.ansiName.empty()) return ENOENT;
  return ResolveName(resolved.folder.get(), resolved.ansiName, resolved.name);
}

// Fills `entry`, but for its name, with what Windows would report; false for entries that are
// not listed: special files, broken links, links that leave the drive.
bool PosixFileSystem::Describe(const HostPath& path, int folderFd, const std::string& name,
                               FindEntry& entry) const {
  HostStat status;
  if (!StatAt(folderFd, name.c_str(), status)) return false;
  Descriptor linkedFolder(-1);
  std::string statName = name;
  if (S_ISLNK(status.mode)) {  // described as what it leads to
    std::vector<std::string> linkPath = path.folderPath;
    linkPath.push_back(name);
    linkedFolder.reset(OpenBeneath(*path.drive, linkPath, statName));
    if (linkedFolder.get() < 0 || !StatAt(linkedFolder.get(), statName.c_str(), status)) {
      return false;
    }
    folderFd = linkedFolder.get();
  }
  const bool isFolder = S_ISDIR(status.mode);
  if (!isFolder && !S_ISREG(status.mode)) return false;
  // Root may write anything; a file nobody may write still shows as read-only.
  const bool readOnly = faccessat(folderFd, statName.c_str(), W_OK, AT_SYMLINK_NOFOLLOW) != 0 ||
                        (status.mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  entry.attributes = (isFolder ? kAttributeDirectory : kAttributeArchive) |
                     (readOnly ? kAttributeReadOnly : 0) |
                     (name[0] == '.' && !IsDotEntry(name.c_str()) ? kAttributeHidden : 0);
  entry.creationTime = ToFileTime(status.creation);
  entry.lastAccessTime = ToFileTime(status.access);
  entry.lastWriteTime = ToFileTime(status.write);
  entry.size = isFolder ? 0 : status.size;
  return true;
}

Status PosixFileSystem::FindOne(const HostPath& path, FoundEntries& found) const {
  FindEntry entry;
  if (!Describe(path, path.folder.get(), path.name, entry)) return ENOENT;
  const std::optional<std::string> name = codePage_.HandheldName(path.name);
  if (!name) return ENOENT;
  entry.name = *name;
  found.entries.push_back(std::move(entry));
  return kSuccess;
}

// One pass over the folder, one status query per matching entry.
Status PosixFileSystem::ListFolder(const HostPath& path, const WildcardPattern& pattern,
                                   FoundEntries& found) const {
  Folder folder(path.folder.get());
  if (!folder.IsOpen()) return errno;
  std::vector<FindEntry>& entries = found.entries;
  const std::size_t before = entries.size();
  // Windows yields the folder itself and its parent first, except at a drive's root.
  if (!path.isDriveRoot) {
    std::vector<std::string> parentPath(path.folderPath.begin(), path.folderPath.end() - 1);
    const Descriptor parent(OpenFolder(*path.drive, parentPath));
    for (const char* dots : {".", ".."}) {
      FindEntry entry;
      const int dotsFolder = dots[1] == '\0' ? path.folder.get() : parent.get();
      if (pattern.Matches(dots[1] == '\0' ? U"." : U"..") && dotsFolder >= 0 &&
          Describe(path, dotsFolder, ".", entry)) {
        entry.name = dots;
        entries.push_back(std::move(entry));
      }
    }
  }
  std::vector<std::pair<std::u32string, FindEntry>> named;  // by upper-case name
  while (const dirent* hostEntry = folder.Next()) {
    if (IsUploadTemporaryName(hostEntry->d_name)) continue;
    std::u32string upper = codePage_.UpperHostChars(hostEntry->d_name);
    FindEntry entry;
    if (!pattern.Matches(upper) || !Describe(path, folder.Fd(), hostEntry->d_name, entry)) continue;
    // A name the handheld could not ask for is left out, and counted: one
    // with no handheld name of its own, and one too long for a listing record.
    const std::optional<std::string> name = codePage_.HandheldName(hostEntry->d_name);
    if (!name || name->size() >= kNameFieldSize) {
      ++found.leftOut;
      continue;
    }
    entry.name = *name;
    named.emplace_back(std::move(upper), std::move(entry));
  }
  // In name order, as a Windows disk yields them, rather than the host's hash order.
  std::sort(named.begin(), named.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& item : named) entries.push_back(std::move(item.second));
  return entries.size() > before ? kSuccess : ENOENT;
}

std::string PosixFileSystem::HostPathOf(const std::string& text) const {
  HandheldPath path;
  if (!ParseHandheldPath(text, path, codePage_)) return std::string();
  const auto drive = drives_.find(path.drive);
  if (drive == drives_.end()) return std::string();
  std::string host = drive->second;
  for (const std::string& folder : path.folders) {
    const std::optional<std::string> name = codePage_.HostName(folder);
    if (!name) return std::string();
    host += "/" + *name;
  }
  if (path.name.empty()) return host;
  const std::optional<std::string> name = codePage_.HostName(path.name);
  return name ? host + "/" + *name : std::string();
}

Status PosixFileSystem::FindFiles(const std::string& pattern, FoundEntries& found) {
  HostPath path;
  const Status folder = ResolveFolder(pattern, path);
  if (folder != kSuccess) return folder;
  const std::optional<std::string> hostPattern =
      codePage_.HostName(path.ansiName, CodePage::NameUse::kPattern);
  if (!hostPattern) return ENOENT;
  const WildcardPattern wildcards(codePage_.UpperHostChars(*hostPattern));
  if (wildcards.HasWildcards()) return ListFolder(path, wildcards, found);
  const Status named = ResolveName(path.folder.get(), path.ansiName, path.name);
  return named != kSuccess ? named : FindOne(path, found);
}

Status PosixFileSystem::OpenForReading(const std::string& pathText,
                                       std::unique_ptr<ReadableFile>& file) {
  HostPath path;
  const Status existing = ResolveExisting(pathText, path);
  if (existing != kSuccess) return existing;
  path.folderPath.push_back(path.name);
  std::string name;
  const Descriptor folder(OpenBeneath(*path.drive, path.folderPath, name));
  if (folder.get() < 0) return errno;
  struct stat status {};
  // Only a regular file is opened; non-blocking, so that a fifo swapped in cannot stall the open.
  if (fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISREG(status.st_mode)) return S_ISDIR(status.st_mode) ? EISDIR : ENOENT;
  Descriptor fd(openat(folder.get(), name.c_str(),
                       O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0 || fstat(fd.get(), &status) != 0) return errno;
  if (!S_ISREG(status.st_mode)) return ENOENT;
  file = std::make_unique<PosixReadableFile>(fd.release());
  return kSuccess;
}

std::string PosixFileSystem::UploadNameProblem(const std::string& name) const {
  if (!name.empty() && name[0] == '.') return "a name this desktop keeps for configuration";
  if (!codePage_.HostName(name)) return "the name is not valid in code page " + codePage_.Label();
  return {};
}

// The contents go to a file of no name in the upload's folder where the
// system has them (Linux's O_TMPFILE), which takes its name when whole and
// which nobody can swap or find meanwhile, and a crash leaves nothing of;
// elsewhere to a hidden temporary file, locked while it is open, so that a
// server starting on the same drive tells a live upload from one a crash
// left. Either stays open, so the upload lands in the folder it started in.
class PosixFileSystem::Upload final : public UploadFile {
 public:
  Upload(const PosixFileSystem& fileSystem, HostPath&& path, std::string hostName,
         std::string temporary, int fd)
      : fileSystem_(fileSystem),
        path_(std::move(path)),
        hostName_(std::move(hostName)),
        temporary_(std::move(temporary)),
        fd_(fd) {}
  ~Upload() override {
    if (!placed_ && !temporary_.empty()) unlinkat(path_.folder.get(), temporary_.c_str(), 0);
  }
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  Status Write(const void* data, std::size_t length) override {
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
      const ssize_t written = write(fd_.get(), next, std::min<std::size_t>(length, 1u << 30));
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) return errno;
      if (written == 0) return ENOSPC;
      next += written;
      length -= static_cast<std::size_t>(written);
    }
    return kSuccess;
  }

  // Placed while the temporary is still open and locked.
  Status Commit() override {
    if (fsync(fd_.get()) != 0) return errno;
    // A name that differs only in case is the same file for the handheld.
    std::string existing;
    const Status lookup = fileSystem_.ResolveName(path_.folder.get(), path_.ansiName, existing);
    if (lookup == kSuccess) return EEXIST;
    if (lookup != ENOENT) return lookup;
    const int folder = path_.folder.get();
    Status placed = kSuccess;
    if (temporary_.empty()) {
      // The open file itself takes the name; a link never replaces one.
      const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
      if (linkat(AT_FDCWD, self.c_str(), folder, hostName_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        placed = errno;
      }
    } else if (!StillNamed(folder, temporary_.c_str(), fd_.get())) {
      // Whoever may write the folder took the temporary away, or put
      // another file under its name: that file is not the upload.
      return MissingOnCommit();
    } else {
      placed = PlaceWithoutReplacing(folder, temporary_.c_str(), hostName_.c_str());
      if (placed == ENOENT) return MissingOnCommit();
    }
    if (placed != kSuccess) return placed;
    placed_ = true;
    // The new folder entry reaches the disk too; some systems cannot sync a folder.
    static_cast<void>(fsync(path_.folder.get()));
    const int closed = close(fd_.release());
    return closed != 0 && errno != EINTR ? errno : kSuccess;
  }

  long long TraceId() const override { return fd_.get(); }

 private:
  // What was missing when the temporary could not be given its name: the
  // folder, or only the temporary, which someone at the desktop removed.
  Status MissingOnCommit() const {
    struct stat status {};
    if (fstat(path_.folder.get(), &status) == 0 && status.st_nlink == 0) return ENOENT;
    return kUploadTemporaryRemoved;
  }

  const PosixFileSystem& fileSystem_;
  HostPath path_;
  std::string hostName_;
  std::string temporary_;
  Descriptor fd_;
  bool placed_ = false;
};

Status PosixFileSystem::CreateUpload(const std::string& pathText,
                                     std::unique_ptr<UploadFile>& file) {
  HostPath path;
  const Status folder = ResolveFolder(pathText, path);
  if (folder != kSuccess) return folder;
  if (!UploadNameProblem(path.ansiName).empty()) return EINVAL;
  std::string hostName = *codePage_.HostName(path.ansiName);
  // Readable by others as any new document is (the umask may narrow it); the
  // default drive's folder is the user's alone.
  constexpr mode_t kMode = 0644;
#if defined(O_TMPFILE)
  Descriptor anonymous(openat(path.folder.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kMode));
  // Some file systems keep no such files, and /proc, through which one takes
  // its name, may be missing: a named temporary then.
  if (anonymous.get() < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return errno;
  }
  if (anonymous.get() >= 0 &&
      access(("/proc/self/fd/" + std::to_string(anonymous.get())).c_str(), F_OK) == 0) {
    file = std::make_unique<Upload>(*this, std::move(path), std::move(hostName), std::string(),
                                    anonymous.release());
    return kSuccess;
  }
#endif
  static std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temporary = UploadTemporaryName(random());
    Descriptor fd(openat(path.folder.get(), temporary.c_str(),
                         O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, kMode));
    if (fd.get() < 0 && errno == EEXIST) continue;
    if (fd.get() < 0) return errno;
    // Locked before anything is written. A server starting on this drive in
    // the moment before may have taken it for a crash's: then it holds the
    // lock, or has removed the file, and another name is tried. Where the
    // file system locks nothing, no server can remove it either.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) continue;
    if (!StillNamed(path.folder.get(), temporary.c_str(), fd.get())) continue;
    file = std::make_unique<Upload>(*this, std::move(path), std::move(hostName),
                                    std::move(temporary), fd.release());
    return kSuccess;
  }
  return EEXIST;
}

}  // namespace ql
