// Text from outside the program (names from the line or the disk, process
// names, port descriptions, settings values) made fit for a terminal.
#pragma once

#include <string>

namespace ql {

// UTF-8 text, such as a host path, made fit for a terminal: control
// characters shown as "\xNN" (C0 and DEL) or "\u00NN" (C1, which some code
// pages map bytes to), and bytes that are not UTF-8 as "\xNN", so that no
// name from the line or the disk can drive the terminal it is shown on.
std::string TerminalText(const std::string& utf8);

// A message of the program for a terminal: its line breaks kept, and every
// line shown as TerminalText shows it. Everything the terminal programs
// print goes through this (see Say and TerminalLines), so that no text from
// outside reaches the terminal raw, whoever assembled the message.
std::string TerminalMessage(const std::string& text);

}  // namespace ql
