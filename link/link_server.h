// The desktop's side of the link: remembers the handheld's last command and
// answers each following data message with a listing, a file or a stored upload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "link/file_system.h"
#include "link/link_activity.h"
#include "link/link_clock.h"
#include "link/link_port.h"
#include "link/name_rules.h"

namespace ql {

enum LinkState : std::int32_t {
  LINK_IDLE = 0,
  LINK_LIST = 1,
  LINK_SEND = 2,
  LINK_UPLOAD_NAME = 4,
  LINK_UPLOAD_DATA = 5,
};

class CLinkServer {
 public:
  CLinkServer(LinkPort& port, FileSystem& fileSystem, LinkClock& clock);

  // A 2-byte message: a command. `text` must have room for a terminator at [2].
  int SetStateMachine(char* text);
  // Any other message; `buffer` must have room for a terminator at [length].
  // Returns 0 when an upload could not be stored, else 1.
  int ProcessStateMachine(char* buffer, std::size_t length);

  // One gathered message: a command when it is 2 bytes long, else data for
  // the state. `message` must have room for a terminator at [length]. Returns
  // the port's status of the send that cut the answer short, 0 when none did.
  Status Serve(char* message, std::size_t length);

  // Receives a report of every exchange served and of progress on long ones.
  void SetActivitySink(ActivitySink sink) { activitySink_ = std::move(sink); }
  void Report(const LinkActivity& activity) const {
    if (activitySink_) activitySink_(activity);
  }

  // The receiver threw a message away (too long): an upload name taken for it
  // is forgotten, so that no later stray message is stored under it.
  void DiscardMessage();
  // The message that was arriving ended early, after `bytes`: the port failed,
  // went away or was closed (`cause`). Nothing of it is kept or stored, and an
  // upload name taken for it is forgotten.
  void CutShort(std::uint64_t bytes, Status cause);

  // Upload contents as they arrive. A data message in the contents state that
  // is longer than a command goes to disk while it comes, so memory stays
  // flat whatever its size; it is stored under its name once it ends.
  bool TakesContents() const { return state_ == LINK_UPLOAD_DATA; }
  void BeginContents();
  void AddContents(const char* data, std::size_t length);
  // Stores the contents; false when they were dropped, reported why.
  bool EndContents();

  // Sends the listing of a search pattern; the entry count, or -1 when the search failed.
  int SendFolderContent(const char* pattern);
  // Sends "@&" and a file's contents; 1 when the file was found, 0 when not.
  int SendFile(const char* path);

  LinkState state() const { return state_; }
  const std::string& uploadName() const { return uploadName_; }
  const std::string& uploadDirectory() const { return uploadDirectory_; }

 private:
  // An upload under way: its file, and the first failure, which ends it.
  struct Contents {
    bool active = false;
    std::string path;
    std::unique_ptr<UploadFile> file;
    std::vector<char> pending;  // gathered into larger writes
    std::uint64_t bytes = 0;
    Status failure = kSuccess;
    const char* refusal = "";  // a failure in the core's own words
  };

  int TakeUploadName(const char* path);
  int StoreUpload(const char* data, std::size_t length);
  bool FlushContents();
  // Forgets the upload name: it serves one upload only.
  void UseUpUploadName(const char* why);
  // True when the port took a send; else the transfer ends, traced and told.
  bool Sent(Status status, const std::string& subject, std::uint64_t bytesBefore);
  // Sends a payload, telling progress as it goes out; false when the port
  // stopped taking it.
  bool SendPayload(const std::string& subject, const void* data, std::uint32_t length,
                   std::uint64_t sentBefore, std::uint64_t total);
  std::string EntryPath(const std::string& search, const std::string& name) const;
  void ReportTooLong(LinkActivity::Kind kind, const std::string& path) const;
  void Report(LinkActivity::Kind kind, const std::string& text, std::uint64_t bytes = 0,
              Status status = kSuccess) const;

  LinkPort& port_;
  FileSystem& fileSystem_;
  LinkClock& clock_;
  std::string uploadName_;
  const char* noUploadName_ = "no name came with it";  // why uploadName_ is empty
  Contents contents_;
  std::string uploadDirectory_ = kUploadFolder;
  LinkState state_ = LINK_IDLE;
  Status sendError_ = kSuccess;  // of the message Serve answers
  ActivitySink activitySink_;
};

}  // namespace ql
