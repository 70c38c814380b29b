// What the link server does, told as it happens, so that a front end can show
// its user the exchanges it serves. The core itself prints nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace ql {

struct LinkActivity {
  enum class Kind {
    kCommand,            // text: the command ("@@", "@&", "&&")
    kListingSent,        // text: the pattern; entries, bytes
    kListingFailed,      // text: the pattern; nothing matched or the folder is not there
    kFileSent,           // text: the path; bytes, elapsedMs
    kFileNotFound,       // text: the path
    kFileUnreadable,     // text: the path; answered with the echo alone
    kUploadNameTaken,    // text: the path the upload will be stored under
    kUploadNameRefused,  // text: the name as it came; reason
    kUploadStored,       // text: the path; bytes
    kUploadExists,       // text: the path; the contents were dropped, nothing overwritten
    kUploadFailed,       // text: the path; reason
    kMessageDiscarded,   // bytes: a message too long to keep
    kTransferEnded,      // text: the path; bytes sent before the line stopped taking them
    kReceiving,          // progress: bytes of the message so far
    kSending,            // progress: text the path; bytes so far of total
  };

  explicit LinkActivity(Kind what, std::string subject = std::string())
      : kind(what), text(std::move(subject)) {}

  Kind kind;
  std::string text;              // as the handheld wrote it, in its code page
  const char* reason = nullptr;  // why a name or an upload was refused
  std::uint64_t bytes = 0;
  std::uint64_t total = 0;
  std::uint32_t entries = 0;
  std::int64_t elapsedMs = 0;
};

using ActivitySink = std::function<void(const LinkActivity& activity)>;

}  // namespace ql
