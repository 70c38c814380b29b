// What the program tells its user about its port and the exchanges it
// serves, the same in the dialog's status line and in the terminal.
#pragma once

#include <cstddef>
#include <string>

namespace ql {

// How often a port that went away is tried again.
constexpr unsigned kReopenIntervalMs = 2000;

inline std::string PortOpenedText(const std::string& port) { return port + " opened."; }

inline std::string PortClosedText(const std::string& port) { return port + " closed"; }

inline std::string PortLostText(const std::string& port) {
  return port + " went away; trying to open it again every " +
         std::to_string(kReopenIntervalMs / 1000) + " s.";
}

// An upload that could not be stored: `path` as the handheld gave it (empty
// when no name came with it), `why` in a few words (may be empty). The name
// is what follows the path's last backslash, the folder the rest.
inline std::string UploadFailedText(const std::string& path, const std::string& why) {
  const std::size_t slash = path.rfind('\\');
  std::string text = "Unable to store ";
  if (path.empty()) {
    text += "an upload";
  } else if (slash == std::string::npos) {
    text += path;
  } else {
    text += path.substr(slash + 1) + " in " + path.substr(0, slash + 1);
  }
  if (!why.empty()) text += " (" + why + ")";
  return text;
}

inline std::string PortOpenFailedText(const std::string& port) {
  return "Unable open " + port + "! (probably used by another application (maybe MS ActiveSync) )";
}

}  // namespace ql
