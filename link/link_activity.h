// What the link server does, told as it happens, so that a front end can show
// its user the exchanges it serves. The core itself prints nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "link/status.h"

namespace ql {

struct LinkActivity {
  enum class Kind {
    kCommand,            // text: the command ("@@", "@&", "&&")
    kGarbled,            // bytes that make no command: a message outside any exchange (text:
                         // its bytes as they came, never to be shown unescaped), or framing
                         // and parity errors the line counted (no text); bytes
    kListingSent,        // text: the pattern; entries, bytes, leftOut
    kListingFailed,      // text: the pattern; status: why the search found nothing
    kFileSent,           // text: the path; bytes, elapsedMs
    kFileChanged,        // text: the path; bytes sent: the file changed while it was read
    kFileNotFound,       // text: the path; status: why the search found nothing
    kFileUnreadable,     // text: the path; status; answered with the echo alone
    kFileReadFailed,     // text: the path; status; bytes sent before the read failed
    kUploadNameTaken,    // text: the path the upload will be stored under
    kUploadNameRefused,  // text: the path it would be stored under; reason
    kUploadStored,       // text: the path; bytes
    kUploadFailed,       // text: the path (empty: no name); bytes; status or reason
    kUploadCutShort,     // text: the path; bytes that had come; status: what ended the message
    kMessageCutShort,    // bytes that had come; status: what ended the message
    kMessageDiscarded,   // bytes: a message too long to keep
    kTransferEnded,      // text: the path; bytes sent; status: why the port took no more
    kReceiving,          // progress: bytes of the message so far
    kSending,            // progress: text the path; bytes so far of total
  };

  explicit LinkActivity(Kind what, std::string subject = std::string())
      : kind(what), text(std::move(subject)) {}

  Kind kind;
  std::string text;    // as the handheld wrote it, in its code page
  std::string reason;  // why a name or an upload was refused, in the core's words; empty: none
  Status status = kSuccess;  // the system's code of what failed
  std::uint64_t bytes = 0;
  std::uint64_t total = 0;
  std::uint32_t entries = 0;
  std::uint32_t leftOut = 0;  // names matched that the handheld cannot be shown
  std::int64_t elapsedMs = 0;
};

using ActivitySink = std::function<void(const LinkActivity& activity)>;

}  // namespace ql
