// The handheld's own files: read whole for an upload, and written for a
// download so that no existing file is lost and no half-written one is left.
#pragma once

#include <string>

namespace ql {

// The contents of the regular file at `path`; false, with the reason in
// `error`, for a folder, a device or a file that cannot be read.
bool ReadLocalFile(const std::string& path, std::string& contents, std::string& error);

// Whether a download may be written to `path`: its folder takes new files, and
// `path` names nothing yet, or a file when `replace` is set.
bool CheckLocalTarget(const std::string& path, bool replace, std::string& error);

// Writes `contents` to a new file beside `path` and gives it that name once it
// is complete. An existing `path` is kept unless `replace` is set; on failure
// nothing new is left behind and `error` says why.
bool WriteLocalFile(const std::string& path, const std::string& contents, bool replace,
                    std::string& error);

}  // namespace ql
