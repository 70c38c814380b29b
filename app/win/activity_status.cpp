#include "app/win/activity_status.h"

#include <windows.h>

#include <utility>

#include "app/common/status_texts.h"
#include "fs/windows_file_system.h"

namespace ql {
namespace {

const char* CommonWords(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return "file exists";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "disk full";
    case ERROR_PATH_NOT_FOUND:
      return "folder not found";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return "in use by another program";
    case kUploadTemporaryRemoved:
      return "its temporary file was removed before it was whole";
    default:
      return nullptr;
  }
}

// The system's text on one line, without the period and line break it ends with.
std::string SystemText(DWORD code) {
  char text[512];
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, text, sizeof text, nullptr);
  std::string words;
  for (DWORD i = 0; i < length && i < sizeof text; ++i) {
    const bool lineBreak = text[i] == '\r' || text[i] == '\n';
    if (!lineBreak) {
      words += text[i];
    } else if (!words.empty() && words.back() != ' ') {
      words += ' ';
    }
  }
  while (!words.empty() && (words.back() == ' ' || words.back() == '.')) words.pop_back();
  return words;
}

// The paths shown are the handheld's and the system's, in its ANSI code page.
const HandheldCharset& ShownCharset() {
  static const AnsiCharset charset;
  return charset;
}

// An upload that could not be stored: `path` as the handheld gave it (empty
// when no name came with it), `why` in a few words (may be empty).
std::string UploadFailedText(const std::string& path, const std::string& why) {
  std::string text = "Unable to store ";
  if (path.empty()) {
    text += "an upload";
  } else {
    const FolderAndName parts = SplitFolderAndName(path, ShownCharset());
    text += parts.folder.empty() ? parts.name : parts.name + " in " + parts.folder;
  }
  if (!why.empty()) text += " (" + why + ")";
  return text;
}

}  // namespace

FolderAndName SplitFolderAndName(const std::string& path, const HandheldCharset& charset) {
  const std::size_t separator = FindLastSeparator(path, charset);
  if (separator == std::string::npos) return {std::string(), path};
  return {path.substr(0, separator + 1), path.substr(separator + 1)};
}

std::string SystemErrorWords(Status code) {
  const auto systemCode = static_cast<DWORD>(code);
  if (const char* words = CommonWords(systemCode)) return words;
  const std::string text = SystemText(systemCode);
  return text.empty() ? "error " + std::to_string(systemCode) : text;
}

std::string PortOpenProblem(Status code) {
  switch (static_cast<DWORD>(code)) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return kPortInUseWords;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "no such port: is the adapter plugged in?";
    default:
      return SystemErrorWords(code);
  }
}

ActivityReport::ActivityReport(std::wstring virtualStore)
    : virtualStore_(std::move(virtualStore)) {}

std::string ActivityReport::TextFor(const LinkActivity& activity, unsigned baud) {
  // Garble at the speed the user has just left says nothing of the new one,
  // which may be wrong too: the hint is due again for it.
  if (baud != hintBaud_) {
    speedHint_ = SpeedHint();
    hintBaud_ = baud;
  }
  if (speedHint_.Due(activity)) return WrongSpeedText(baud);
  using Kind = LinkActivity::Kind;
  // Worked out only for the kinds shown: progress comes many times a second.
  const auto file = [&activity] { return SplitFolderAndName(activity.text, ShownCharset()); };
  const auto from = [&file] {
    const FolderAndName parts = file();
    return parts.folder.empty() ? parts.name : parts.name + " from " + parts.folder;
  };
  const auto size = [&activity] { return FormatSize(activity.bytes); };
  const auto why = [&activity] {
    return activity.status != kSuccess ? SystemErrorWords(activity.status) : activity.reason;
  };
  switch (activity.kind) {
    case Kind::kUploadStored: {
      // Where file virtualization put it, when it did.
      const std::string place = VirtualStorePlace(activity.text, virtualStore_);
      const FolderAndName stored =
          place.empty() ? file() : SplitFolderAndName(place, ShownCharset());
      return "Stored " + stored.name + " in " + stored.folder + " (" + size() + ")";
    }
    case Kind::kUploadFailed:
    case Kind::kUploadNameRefused:
      return UploadFailedText(activity.text, why());
    case Kind::kUploadCutShort:
      return "Upload of " + file().name + " cut short after " + size() + " (" + why() +
             "): nothing stored";
    case Kind::kFileSent:
      return "Sent " + from() + " (" + size() + ")";
    case Kind::kFileChanged:
      return "Sent " + size() + " of " + from() + ": the file changed while it was read";
    case Kind::kFileReadFailed:
      return "Sending " + file().name + " stopped after " + size() +
             ": the disk could not read it (" + why() + ")";
    case Kind::kTransferEnded:
      return "Sending " + file().name + " stopped after " + size() + " (" + why() + ")";
    default:
      // Listings, commands and progress would only flicker.
      return std::string();
  }
}

}  // namespace ql
