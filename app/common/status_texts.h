// What the program says about its port, the same in the dialog's status line
// and in the terminal.
#pragma once

#include <string>

namespace ql {

inline std::string PortOpenedText(const std::string& port) { return port + " opened."; }

inline std::string PortClosedText(const std::string& port) { return port + " closed"; }

inline std::string PortOpenFailedText(const std::string& port) {
  return "Unable open " + port + "! (probably used by another application (maybe MS ActiveSync) )";
}

}  // namespace ql
