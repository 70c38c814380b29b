#include "tests/link/link_fakes.h"

#include <algorithm>
#include <cstring>

#include "link/trace.h"

namespace ql::testing {

void ScriptedPort::Stream(std::int64_t atMs, const std::string& bytes, std::size_t bytesPerMs) {
  for (std::size_t at = 0; at < bytes.size(); at += bytesPerMs) {
    Arrive(atMs++, bytes.substr(at, bytesPerMs));
  }
}

void ScriptedPort::DeliverDue() {
  while (!schedule_.empty() && schedule_.front().first <= clock_.NowMs()) {
    const std::string& bytes = schedule_.front().second;
    const std::size_t room = queueCapacity - std::min(queueCapacity, queue_.size() - readAt_);
    queue_ += bytes.substr(0, room);
    lostBytes += bytes.size() - std::min(room, bytes.size());
    schedule_.pop_front();
  }
}

Status ScriptedPort::ReceiveBytes(void* buffer, std::uint32_t length, std::uint32_t* count) {
  *count = 0;
  if (readsBeforeFailure_ >= 0 && readsBeforeFailure_-- == 0) return 5;
  if (lossAtMs_ >= 0 && clock_.NowMs() >= lossAtMs_) {
    lossAtMs_ = -1;
    schedule_.clear();
    queue_.clear();
    readAt_ = 0;
    return lossStatus_;
  }
  DeliverDue();
  const std::size_t n = std::min<std::size_t>(length, queue_.size() - readAt_);
  std::memcpy(buffer, queue_.data() + readAt_, n);
  readAt_ += n;
  if (readAt_ == queue_.size()) {
    queue_.clear();
    readAt_ = 0;
  }
  *count = static_cast<std::uint32_t>(n);
  return kSuccess;
}

Status ScriptedPort::SendText(const char* text) {
  writes.push_back({PortWrite::kText, text, clock_.NowMs()});
  return kSuccess;
}

Status ScriptedPort::SendBlocks(const void* data, std::uint32_t length) {
  if (Sent().size() >= stallAfterBytes) return stallStatus;
  writes.push_back(
      {PortWrite::kBlocks, std::string(static_cast<const char*>(data), length), clock_.NowMs()});
  return kSuccess;
}

Status ScriptedPort::DiscardBuffers() {
  DeliverDue();
  queue_.clear();
  readAt_ = 0;
  writes.push_back({PortWrite::kDiscard, "", clock_.NowMs()});
  return kSuccess;
}

std::string ScriptedPort::Sent() const {
  std::string all;
  for (const PortWrite& w : writes) all += w.bytes;
  return all;
}

namespace {

class MemoryReader final : public ReadableFile {
 public:
  explicit MemoryReader(const MemoryFileSystem::File& file) : file_(file) {}
  void StartRead(void* buffer, std::uint32_t length) override {
    const std::size_t n = std::min<std::size_t>(length, file_.contents.size() - at_);
    result_ = at_ + n > file_.readFailsAfter ? file_.readFailure : kSuccess;
    if (result_ != kSuccess) return;
    if (n > 0) std::memcpy(buffer, file_.contents.data() + at_, n);
    at_ += n;
    count_ = static_cast<std::uint32_t>(n);
  }
  Status FinishRead(std::uint32_t* count) override {
    *count = result_ == kSuccess ? count_ : 0;
    return result_;
  }
  Status Stat(FileStamp& stamp) const override {
    const bool opening = !statted_;
    statted_ = true;
    stamp.size =
        opening && file_.reportedSize != UINT64_MAX ? file_.reportedSize : file_.contents.size();
    return kSuccess;
  }

 private:
  MemoryFileSystem::File file_;
  std::size_t at_ = 0;
  std::uint32_t count_ = 0;
  Status result_ = kSuccess;
  mutable bool statted_ = false;
};

class MemoryUpload final : public UploadFile {
 public:
  MemoryUpload(MemoryFileSystem& files, std::string path) : files_(files), path_(std::move(path)) {
    ++files_.temporaries;
  }
  ~MemoryUpload() override { --files_.temporaries; }
  MemoryUpload(const MemoryUpload&) = delete;
  MemoryUpload& operator=(const MemoryUpload&) = delete;

  Status Write(const void* data, std::size_t length) override {
    files_.largestWrite = std::max(files_.largestWrite, length);
    if (length > files_.writeRoom) return files_.writeFailure;
    files_.writeRoom -= length;
    contents_.append(static_cast<const char*>(data), length);
    return kSuccess;
  }
  Status Commit() override {
    if (files_.commitFailure != kSuccess) return files_.commitFailure;
    if (!files_.files.emplace(path_, MemoryFileSystem::File{contents_}).second)
      return 17;  // EEXIST
    return kSuccess;
  }
  long long TraceId() const override { return 42; }

 private:
  MemoryFileSystem& files_;
  std::string path_;
  std::string contents_;
};

}  // namespace

Status MemoryFileSystem::FindFiles(const std::string& pattern, FoundEntries& found) {
  std::vector<FindEntry>& entries = found.entries;
  const bool wholeFolder =
      pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, "\\*") == 0;
  const std::string folder = wholeFolder ? pattern.substr(0, pattern.size() - 1) : std::string();
  for (const auto& [path, file] : files) {
    const bool inFolder = wholeFolder && path.compare(0, folder.size(), folder) == 0 &&
                          path.find('\\', folder.size()) == std::string::npos;
    if (path != pattern && !inFolder) continue;
    FindEntry entry;
    entry.attributes = 0x20;
    entry.size = file.contents.size();
    entry.name = path.substr(path.rfind('\\') + 1);
    entries.push_back(entry);
  }
  return entries.empty() ? 2 : kSuccess;  // ENOENT, ERROR_FILE_NOT_FOUND
}

Status MemoryFileSystem::OpenForReading(const std::string& path,
                                        std::unique_ptr<ReadableFile>& file) {
  const auto it = files.find(path);
  if (it == files.end()) return 2;
  if (it->second.readFailure != kSuccess && it->second.readFailsAfter == SIZE_MAX) {
    return it->second.readFailure;
  }
  file = std::make_unique<MemoryReader>(it->second);
  return kSuccess;
}

Status MemoryFileSystem::CreateUpload(const std::string& path, std::unique_ptr<UploadFile>& file) {
  if (createFailure != kSuccess) return createFailure;
  file = std::make_unique<MemoryUpload>(*this, path);
  return kSuccess;
}

LinkHarness::LinkHarness(FileSystem* desktop)
    : server(std::make_unique<CLinkServer>(port, desktop != nullptr ? *desktop : files, clock)),
      receiver(std::make_unique<CLinkReceiver>(port, *server, clock)) {
  SetTraceSink([this](const std::string& line) { trace.push_back(line); });
}

LinkHarness::~LinkHarness() { SetTraceSink(nullptr); }

void LinkHarness::RunUntilIdle() {
  for (;;) {
    receiver->OnSerialEvent(1, 0);
    const std::int64_t next = port.NextArrivalMs();
    if (next < 0) return;
    clock.now = std::max(clock.now, next);
  }
}

void LinkHarness::Request(const std::string& command, const std::string& text) {
  port.Arrive(clock.now, command);
  port.Arrive(clock.now + 300, text);
  RunUntilIdle();
}

void LinkHarness::Send(const std::string& text) {
  port.Arrive(clock.now, text);
  RunUntilIdle();
}

bool LinkHarness::Traced(const std::string& line) const {
  return std::find(trace.begin(), trace.end(), line) != trace.end();
}

}  // namespace ql::testing
