// The debug trace: text lines and decimal numbers, written to a replaceable sink.
#pragma once

#include <functional>
#include <string>

namespace ql {

using TraceSink = std::function<void(const std::string& line)>;

// Installs the sink that receives every trace line (empty: lines go nowhere).
// The Windows program sends them to the debugger output.
void SetTraceSink(TraceSink sink);

// Writes one line; control bytes (below 0x20, and DEL) are shown as "\xNN",
// so that a name sent down the line can neither break the line nor start an
// escape sequence. Other bytes are the handheld's code page, as they came.
void Trace(const char* text);
void TraceNumber(long long value);

// `text` with every control byte (below 0x20, and DEL) written as "\xNN".
std::string PrintableText(const std::string& text);

}  // namespace ql
