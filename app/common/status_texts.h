// What the program tells its user about its port and the exchanges it
// serves, the same in the dialog's status line and in the terminal.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The words a port held by another program gets.
constexpr char kPortInUseWords[] = "probably used by another application (maybe MS ActiveSync) ";

// `why`: the open's failure in a few words, kPortInUseWords when it is held.
inline std::string PortOpenFailedText(const std::string& port, const std::string& why) {
  return "Unable open " + port + "! (" + why + ")";
}

// "12 B", "1.5 KB", "2.0 MB": decimal units, one decimal place.
std::string FormatSize(std::uint64_t bytes);

// The speeds the handheld may be at instead of `baud`: "19200, 38400 or 57600".
std::string OtherSpeeds(unsigned baud);

// Said once for each run of bytes that make no command; `how` tells where
// the speed is chosen (" with --speed"), or is empty.
inline std::string WrongSpeedText(unsigned baud, const std::string& how = std::string()) {
  return "Bytes arrive that make no command: the handheld is probably not at " +
         std::to_string(baud) + "; try " + OtherSpeeds(baud) + how + ".";
}

// Said when the server, finding the speed itself, moves to another one.
inline std::string SpeedMovedText(unsigned from, unsigned to) {
  return "Bytes arrive that make no command at " + std::to_string(from) + "; listening at " +
         std::to_string(to) + ".";
}

// Said once when every speed has been tried and none made a command, instead
// of a line for each move after it.
inline std::string NoSpeedFitsText() {
  return "No speed makes a command of what arrives: the handheld may be at a speed other than " +
         OtherSpeeds(0) + ", or the line may be noisy; still trying.";
}

// Said once a command decodes at the speed it moved to.
inline std::string SpeedFoundText(unsigned baud) {
  return "The handheld is at " + std::to_string(baud) + " baud; serving at " +
         std::to_string(baud) + ".";
}

}  // namespace ql
