// Names under which an upload may be stored: the part of the handheld's path
// after its last backslash, and only when Windows itself could create it.
#pragma once

#include <string>

#include "link/handheld_charset.h"

namespace ql {

// Uploads are stored here, in the handheld's path syntax.
constexpr char kUploadFolder[] = "C:\\";

// Why an upload may not be stored under `name` on any desktop, or null when it
// may: Windows could not create it (empty, "." or "..", one of < > : " / \ | ? *
// or a control character, a trailing dot or space, a device name such as CON or
// COM1, with or without extension), or "C:\" and the name exceed the path limit.
// Characters, not bytes, in the handheld's code page.
const char* UploadNameRefusal(const std::string& name, const HandheldCharset& charset);

// The part of an upload path after its last backslash or slash.
std::string UploadNameOf(const std::string& path, const HandheldCharset& charset);

}  // namespace ql
