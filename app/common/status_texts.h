// What the program tells its user about its port and the exchanges it
// serves, the same in the dialog's status line and in the terminal.
#pragma once

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

inline std::string PortOpenFailedText(const std::string& port) {
  return "Unable open " + port + "! (probably used by another application (maybe MS ActiveSync) )";
}

}  // namespace ql
