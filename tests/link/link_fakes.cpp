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
  if (Sent().size() >= stallAfterBytes) return 1460;  // the port's own time-out
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
  explicit MemoryReader(std::string contents) : contents_(std::move(contents)) {}
  bool Read(void* buffer, std::uint32_t length, std::uint32_t* count) override {
    const std::size_t n = std::min<std::size_t>(length, contents_.size() - at_);
    std::memcpy(buffer, contents_.data() + at_, n);
    at_ += n;
    *count = static_cast<std::uint32_t>(n);
    return true;
  }

 private:
  std::string contents_;
  std::size_t at_ = 0;
};

class MemoryWriter final : public WritableFile {
 public:
  explicit MemoryWriter(MemoryFileSystem::File& file) : file_(file) {}
  bool Write(const void* data, std::size_t length) override {
    if (file_.failWrites) {
      file_.contents.append(static_cast<const char*>(data), length / 2);  // a partial write
      return false;
    }
    file_.contents.append(static_cast<const char*>(data), length);
    return true;
  }
  long long TraceId() const override { return 42; }

 private:
  MemoryFileSystem::File& file_;
};

}  // namespace

bool MemoryFileSystem::FindFiles(const std::string& pattern, std::vector<FindEntry>& entries) {
  const bool wholeFolder =
      pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, "\\*") == 0;
  const std::string folder = wholeFolder ? pattern.substr(0, pattern.size() - 1) : std::string();
  for (const auto& [path, file] : files) {
    const bool inFolder = wholeFolder && path.compare(0, folder.size(), folder) == 0 &&
                          path.find('\\', folder.size()) == std::string::npos;
    if (path != pattern && !inFolder) continue;
    FindEntry entry;
    entry.attributes = 0x20;
    entry.size = file.reportedSize != UINT64_MAX ? file.reportedSize : file.contents.size();
    entry.name = path.substr(path.rfind('\\') + 1);
    entries.push_back(entry);
  }
  return !entries.empty();
}

std::unique_ptr<ReadableFile> MemoryFileSystem::OpenForReading(const std::string& path) {
  const auto it = files.find(path);
  if (it == files.end() || it->second.unreadable) return nullptr;
  return std::make_unique<MemoryReader>(it->second.contents);
}

std::unique_ptr<WritableFile> MemoryFileSystem::CreateNew(const std::string& path) {
  if (refuseCreate || files.count(path) != 0) return nullptr;
  File& file = files[path];
  file.failWrites = failWrites;
  return std::make_unique<MemoryWriter>(file);
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
