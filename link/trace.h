// The debug trace: text lines and decimal numbers, written to a replaceable sink.
#pragma once

#include <functional>
#include <string>

namespace ql {

using TraceSink = std::function<void(const std::string& line)>;

// Installs the sink that receives every trace line (empty: the platform default,
// which is the debugger output on Windows and nothing elsewhere).
void SetTraceSink(TraceSink sink);

// Writes one line; bytes a terminal could take as a control (C0, DEL, C1) are
// shown as "\xNN", so that a name sent down the line cannot drive the
// operator's terminal.
void Trace(const char* text);
void TraceNumber(long long value);

// `text` with every control byte written as "\xNN".
std::string PrintableText(const std::string& text);

}  // namespace ql
