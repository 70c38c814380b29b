// Paths and search patterns as the handheld names them: "C:\My Documents\*.txt",
// in its code page.
#pragma once

#include <string>
#include <vector>

#include "link/handheld_charset.h"

namespace ql {

struct HandheldPath {
  char drive = 0;                    // 'A'..'Z'
  std::vector<std::string> folders;  // from the drive root down, "." and ".." already applied
  std::string name;                  // the last component; empty for a root or a trailing '\'
};

// Reads "X:\a\b" (either slash) the way Windows normalises it: empty and "."
// components vanish and ".." never climbs above the drive root. Separators
// are characters of the handheld's code page, never the second byte of a
// double-byte one. False for a path without a drive letter, holding a zero
// byte, or longer than the handheld can name.
bool ParseHandheldPath(const std::string& text, HandheldPath& path, const HandheldCharset& charset);

}  // namespace ql
