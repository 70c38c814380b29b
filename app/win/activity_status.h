// What the dialog's status line says about the exchanges the link serves.
#pragma once

#include <string>

#include "link/handheld_charset.h"
#include "link/link_activity.h"
#include "link/speed_hint.h"
#include "link/status.h"

namespace ql {

// A system code (GetLastError()) in a few words: the common ones in the
// program's own, any other in the system's text without its closing period,
// "error N" when the system has none.
std::string SystemErrorWords(Status code);

// Why a port could not be opened, in a few words: the port is held by
// another program, is not there, or the system's words.
std::string PortOpenProblem(Status code);

// A path as the status line names it: the folder up to and with the last
// separator, the name after it. `charset` says where each character ends, so
// that the second byte of a double-byte character (0x5C in Shift-JIS 0x95 0x5C)
// divides nothing. The folder is empty when the path has no separator.
struct FolderAndName {
  std::string folder;
  std::string name;
};
FolderAndName SplitFolderAndName(const std::string& path, const HandheldCharset& charset);

// What the status line says of the link's activity: that the handheld is
// probably at another speed, once for each run of bytes that make no
// command and again after the user chose another speed, and how each
// transfer ended.
class ActivityReport {
 public:
  // `virtualStore`: where file virtualization keeps this program's uploads; empty: nowhere.
  explicit ActivityReport(std::wstring virtualStore);
  // The status line's new text for `activity`, with the link at `baud`; empty: unchanged.
  std::string TextFor(const LinkActivity& activity, unsigned baud);

 private:
  SpeedHint speedHint_;
  unsigned hintBaud_ = 0;  // the speed the hint counts garble at
  std::wstring virtualStore_;
};

}  // namespace ql
