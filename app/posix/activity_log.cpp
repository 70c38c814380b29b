#include "app/posix/activity_log.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <utility>

#include "app/common/settings.h"
#include "app/terminal/terminal_text.h"

namespace ql {
namespace {

using Kind = LinkActivity::Kind;

std::string LocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::ostringstream text;
  text << std::put_time(&local, "%H:%M:%S");
  return text.str();
}

// "0.3 s"
std::string TenthsOfSeconds(std::int64_t ms) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(1) << static_cast<double>(ms) / 1000.0 << " s";
  return text.str();
}

bool IsProgress(Kind kind) { return kind == Kind::kReceiving || kind == Kind::kSending; }

// The system's own words, as a clause: "no such device".
std::string SystemWords(Status code) {
  std::string words = std::strerror(code);
  if (!words.empty())
    words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
  return words;
}

}  // namespace

std::string DiskProblem(Status code) {
  switch (code) {
    case EEXIST:
      return "a file of that name exists";
    case EACCES:
    case EPERM:
      return "permission denied";
    case ENOSPC:
    case EDQUOT:
      return "the disk is full";
    case EROFS:
      return "the disk is read-only";
    case ENOENT:
    case ENOTDIR:
      return "the folder is gone";
    case kUploadTemporaryRemoved:
      return "its temporary file was removed at the desktop before it was whole";
    case EIO:
      return "the disk reported an input/output error";
    default:
      return SystemWords(code);
  }
}

std::string LineProblem(Status code) {
  switch (code) {
    case ETIMEDOUT:
      return "the line stopped taking bytes";
    case ECANCELED:
      return "the server was stopped";
    case EIO:
    case ENXIO:
    case ENODEV:
    case EBADF:
      return "the line was lost";
    default:
      return SystemWords(code);
  }
}

namespace {}  // namespace

ActivityLog::ActivityLog(TerminalLines& lines, std::uint32_t baud, PathShower show,
                         HostPathOf hostPathOf)
    : lines_(lines), baud_(baud), show_(std::move(show)), hostPathOf_(std::move(hostPathOf)) {}

void ActivityLog::Show(const LinkActivity& activity) {
  if (speedHint_.Due(activity) && !findingSpeed_) {
    Line(WrongSpeedText(baud_, " with --speed"));
  }
  if (quiet_) return;
  if (IsProgress(activity.kind)) {
    Progress(activity);
    return;
  }
  meter_.reset();
  const std::string subject = show_(activity.text);
  const std::string& reason = activity.reason;
  // A reason in the core's words, else the system's code in a few words: what
  // was missing is the file itself when a file was being read.
  const auto diskWhy = [this, &activity](bool aboutFile = false) {
    if (!activity.reason.empty()) return activity.reason;
    if (activity.status == kDriveReplaced) return DriveReplaced(activity.text);
    if (aboutFile && activity.status == ENOENT) return std::string("the file is gone");
    return DiskProblem(activity.status);
  };
  const bool missing =
      activity.reason.empty() && (activity.status == ENOENT || activity.status == kSuccess);
  switch (activity.kind) {
    case Kind::kListingSent:
      Line("listed " + subject + "  " + std::to_string(activity.entries) +
           (activity.entries == 1 ? " entry, " : " entries, ") + FormatSize(activity.bytes) +
           (activity.leftOut == 0 ? ""
                                  : "; left out " + std::to_string(activity.leftOut) +
                                        (activity.leftOut == 1 ? " name" : " names") +
                                        " the handheld cannot ask for"));
      break;
    case Kind::kListingFailed:
      Line(subject + (missing ? " matches nothing" : " could not be searched: " + diskWhy()) +
           "; the echo alone was sent");
      break;
    case Kind::kFileSent:
      Line("sent " + subject + "  " + FormatSize(activity.bytes) + " in " +
           TenthsOfSeconds(activity.elapsedMs));
      break;
    case Kind::kFileChanged:
      Line("sent " + FormatSize(activity.bytes) + " of " + subject +
           ": the file changed while it was read");
      break;
    case Kind::kFileNotFound:
      Line(subject + (missing ? " not found" : " could not be looked up: " + diskWhy()) +
           "; nothing was sent");
      break;
    case Kind::kFileUnreadable:
      Line(subject + " could not be read: " + diskWhy(true) + "; the echo alone was sent");
      break;
    case Kind::kFileReadFailed:
      Line("sending " + subject + " stopped after " + FormatSize(activity.bytes) +
           ": the disk could not read it (" + diskWhy(true) + ")");
      break;
    case Kind::kUploadNameRefused:
      Line(subject + " cannot be stored: " + reason);
      break;
    case Kind::kUploadStored: {
      const std::string host = hostPathOf_(activity.text);
      Line("stored " + subject + "  " + FormatSize(activity.bytes) +
           (host.empty() ? "" : "  (" + TerminalText(host) + ")"));
      break;
    }
    case Kind::kUploadFailed:
      if (activity.text.empty()) {
        Line("upload of " + FormatSize(activity.bytes) + " dropped: " + reason);
      } else if (activity.status == EEXIST) {
        Line(subject + " exists: upload dropped, nothing overwritten");
      } else {
        Line("upload " + subject + " not stored: " + diskWhy());
      }
      break;
    case Kind::kUploadCutShort:
      Line("upload of " + subject + " cut short after " + FormatSize(activity.bytes) + " (" +
           LineProblem(activity.status) + "): nothing stored");
      break;
    case Kind::kMessageCutShort:
      Line("a message cut short after " + FormatSize(activity.bytes) + " (" +
           LineProblem(activity.status) + ") was thrown away");
      break;
    case Kind::kMessageDiscarded:
      Line("discarded a message of " + FormatSize(activity.bytes) + ": too long to keep");
      break;
    case Kind::kTransferEnded:
      Line("sending " + subject + " stopped after " + FormatSize(activity.bytes) + ": " +
           LineProblem(activity.status));
      break;
    case Kind::kGarbled:
    case Kind::kCommand:
    case Kind::kUploadNameTaken:
    case Kind::kReceiving:
    case Kind::kSending:
      break;  // the outcome that follows says it all
  }
}

std::string ActivityLog::DriveReplaced(const std::string& path) const {
  const std::string drive = path.substr(0, 2);
  return drive + " " + TerminalText(hostPathOf_(drive + "\\")) +
         " was replaced by something else; not served";
}

void ActivityLog::Line(const std::string& text) { lines_.Line(LocalTime() + "  " + text); }

void ActivityLog::Progress(const LinkActivity& activity) {
  if (!lines_.Live()) return;
  constexpr std::chrono::milliseconds kRedraw{200};
  if (!meter_ || activity.bytes < meter_->Bytes())
    meter_.emplace(activity.total, kProgressAfter, kRedraw);
  if (!meter_->Update(activity.bytes)) return;
  // The figures first: a narrow terminal leaves out the name, then the sizes.
  std::vector<std::string> parts;
  if (activity.kind == Kind::kSending && activity.total > 0) {
    parts.push_back("sending " + std::to_string(activity.bytes * 100 / activity.total) + "%");
    if (const std::int64_t left = meter_->SecondsLeft(); left >= 0) {
      parts.push_back(FormatDuration(left) + " left");
    }
    parts.push_back(FormatSize(activity.bytes) + " of " + FormatSize(activity.total));
    parts.push_back(show_(activity.text));
  } else {
    parts.push_back("receiving " + FormatSize(activity.bytes));
    parts.push_back("at " + FormatRate(meter_->Rate()));
  }
  lines_.Progress(parts);
}

}  // namespace ql
