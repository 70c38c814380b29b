// The debug trace: text lines and decimal numbers, written to a replaceable sink.
#pragma once

#include <functional>
#include <string>

namespace ql {

using TraceSink = std::function<void(const std::string& line)>;

// Installs the sink that receives every trace line (empty: the platform default,
// which is the debugger output on Windows and nothing elsewhere).
void SetTraceSink(TraceSink sink);

void Trace(const char* text);
void TraceNumber(long long value);

}  // namespace ql
