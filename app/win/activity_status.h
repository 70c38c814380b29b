// What the dialog's status line says about the exchanges the link serves.
#pragma once

#include <string>

#include "link/handheld_charset.h"
#include "link/link_activity.h"
#include "link/status.h"

namespace ql {

// A system code (GetLastError()) in a few words: the common ones in the
// program's own, any other in the system's text without its closing period,
// "error N" when the system has none.
std::string SystemErrorWords(Status code);

// A path as the status line names it: the folder up to and with the last
// separator, the name after it. `charset` says where each character ends, so
// that the second byte of a double-byte character (0x5C in Shift-JIS 0x95 0x5C)
// divides nothing. The folder is empty when the path has no separator.
struct FolderAndName {
  std::string folder;
  std::string name;
};
FolderAndName SplitFolderAndName(const std::string& path, const HandheldCharset& charset);

// The status line's text for an activity the user is to see: a failed
// upload. Empty for every other kind, progress included.
std::string ActivityStatusText(const LinkActivity& activity);

// The status line's text for an upload stored as `activity.text` ("C:\memo.txt")
// that file virtualization put under `virtualStore` instead: where it really
// is. Empty for every other activity, without a virtual store, and when the
// file is where its path says.
std::string StoredUploadText(const LinkActivity& activity, const std::wstring& virtualStore);

}  // namespace ql
