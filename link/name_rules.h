// Which names Windows could hold, which ones an upload may be stored under, and
// the names of the server's own upload temporaries. Characters, not bytes, in
// the handheld's code page: the second byte of a double-byte character is
// never a backslash or a wildcard of its own.
#pragma once

#include <cstdint>
#include <string>

#include "link/handheld_charset.h"

namespace ql {

// Uploads are stored here, in the handheld's path syntax.
constexpr char kUploadFolder[] = "C:\\";

// Whether `name` could be one component of a Windows path: not empty, "." or
// "..", and none of \ / : * ? " < > | nor a control character. A search
// pattern (`pattern`) may also hold the wildcards * and ?.
bool IsWindowsNameComponent(const std::string& name, const HandheldCharset& charset,
                            bool pattern = false);

// Why an upload may not be stored under `name` on any desktop, or null when it
// may: not a Windows name component (above), a trailing dot or space, a device
// name such as CON or COM1 with or without extension, a name the server keeps
// for its temporaries, or "C:\" and the name exceed the path limit.
const char* UploadNameRefusal(const std::string& name, const HandheldCharset& charset);

// The part of an upload path after its last backslash or slash.
std::string UploadNameOf(const std::string& path, const HandheldCharset& charset);

// An upload's contents go to a temporary of this form in the upload folder
// (prefix, 16 hexadecimal digits) until they are whole. Listings never show
// one, and no upload may take such a name.
std::string UploadTemporaryName(std::uint64_t number);
bool IsUploadTemporaryName(const std::string& name);

}  // namespace ql
