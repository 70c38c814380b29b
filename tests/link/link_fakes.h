// Stand-ins for the link core's surroundings: a clock that moves only when
// the protocol sleeps, a port whose incoming bytes arrive on a schedule, and
// a file system held in memory.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/file_system.h"
#include "link/link_clock.h"
#include "link/link_port.h"
#include "link/link_receiver.h"
#include "link/link_server.h"

namespace ql::testing {

class FakeClock final : public LinkClock {
 public:
  std::int64_t NowMs() override { return now; }
  void Sleep(std::int64_t ms) override {
    now += ms;
    if (duringSleep) duringSleep();
  }
  std::int64_t now = 1000;
  std::function<void()> duringSleep;  // what happens elsewhere while the protocol pauses
};

// What the protocol handed to the port, and when.
struct PortWrite {
  enum Kind { kText, kBlocks, kDiscard } kind;
  std::string bytes;
  std::int64_t atMs;
};

class ScriptedPort final : public LinkPort {
 public:
  explicit ScriptedPort(LinkClock& clock) : clock_(clock) {}

  // Bytes that reach the driver's input queue at `atMs`.
  void Arrive(std::int64_t atMs, std::string bytes) {
    schedule_.push_back({atMs, std::move(bytes)});
  }
  // Sends `bytes` at `bytesPerMs` from `atMs` on, in 1 ms slices.
  void Stream(std::int64_t atMs, const std::string& bytes, std::size_t bytesPerMs);
  // The read after `goodReads` more reads fails once.
  void FailReadAfter(int goodReads) { readsBeforeFailure_ = goodReads; }
  // The line is lost at `atMs` (a pulled cable, a stop): what has not been
  // read by then never arrives, and the first read from then on fails so.
  void LoseLineAt(std::int64_t atMs, Status status) {
    lossAtMs_ = atMs;
    lossStatus_ = status;
  }

  Status ReceiveBytes(void* buffer, std::uint32_t length, std::uint32_t* count) override;
  Status SendText(const char* text) override;
  Status SendBlocks(const void* data, std::uint32_t length) override;
  Status DiscardBuffers() override;

  // Everything written, with the discards in between.
  std::vector<PortWrite> writes;
  // Payload writes fail once this many bytes have gone out (a stalled line),
  // with this status (the port's own time-out).
  std::size_t stallAfterBytes = SIZE_MAX;
  Status stallStatus = 1460;
  // The driver's input queue holds this much; bytes beyond it are lost.
  std::size_t queueCapacity = SIZE_MAX;
  std::size_t lostBytes = 0;

  std::string Sent() const;  // all written bytes, concatenated
  // When the next scheduled bytes arrive; -1 when nothing more is scheduled.
  std::int64_t NextArrivalMs() const { return schedule_.empty() ? -1 : schedule_.front().first; }

 private:
  void DeliverDue();

  LinkClock& clock_;
  std::deque<std::pair<std::int64_t, std::string>> schedule_;
  std::string queue_;
  std::size_t readAt_ = 0;  // bytes of queue_ already read
  int readsBeforeFailure_ = -1;
  std::int64_t lossAtMs_ = -1;
  Status lossStatus_ = kSuccess;
};

// Paths are held exactly as given; faults are the systems' own codes.
class MemoryFileSystem final : public FileSystem {
 public:
  struct File {
    std::string contents;
    Status readFailure = kSuccess;  // every read of the file fails so
    // The size when opened, if not the contents' size, which it has by the
    // time the sending ends: a file that changes while it is read.
    std::uint64_t reportedSize = UINT64_MAX;
    std::size_t readFailsAfter = SIZE_MAX;  // reads past this many bytes fail with readFailure
  };

  // Matches the exact path, or every file under a folder for "folder\*".
  Status FindFiles(const std::string& pattern, FoundEntries& found) override;
  Status OpenForReading(const std::string& path, std::unique_ptr<ReadableFile>& file) override;
  Status CreateUpload(const std::string& path, std::unique_ptr<UploadFile>& file) override;

  std::map<std::string, File> files;
  Status createFailure = kSuccess;   // creating an upload fails so
  Status commitFailure = kSuccess;   // putting an upload in place fails so
  Status writeFailure = kSuccess;    // writes fail so once writeRoom bytes are taken
  std::size_t writeRoom = SIZE_MAX;  // what the disk still takes
  int temporaries = 0;               // uploads under way, not yet in place or removed
  std::size_t largestWrite = 0;
};

// The link core with its surroundings replaced, driven as the event loop would.
struct LinkHarness {
  LinkHarness() : LinkHarness(nullptr) {}
  // Serves `desktop` instead of the in-memory files.
  explicit LinkHarness(FileSystem* desktop);
  ~LinkHarness();

  // Handles arrivals as the listener would announce them, until nothing more is scheduled.
  void RunUntilIdle();
  // The handheld sends a command, waits past the message boundary, then the text.
  void Request(const std::string& command, const std::string& text);
  // A data message on its own, handled until the line is idle.
  void Send(const std::string& text);
  bool Traced(const std::string& line) const;

  FakeClock clock;
  ScriptedPort port{clock};
  MemoryFileSystem files;
  std::unique_ptr<CLinkServer> server;
  std::unique_ptr<CLinkReceiver> receiver;
  std::vector<std::string> trace;
};

}  // namespace ql::testing
