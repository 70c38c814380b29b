#include "link/trace.h"

#include <mutex>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

namespace ql {
namespace {

std::mutex sinkMutex;
TraceSink& Sink() {
  static TraceSink sink;
  return sink;
}

bool IsControl(unsigned char c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

std::string PrintableText(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsControl(byte)) {
      shown += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
    } else {
      shown += c;
    }
  }
  return shown;
}

void SetTraceSink(TraceSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  Sink() = std::move(sink);
}

void Trace(const char* text) {
  const std::string line = PrintableText(text);
  std::lock_guard<std::mutex> lock(sinkMutex);
  if (Sink()) {
    Sink()(line);
    return;
  }
#ifdef _WIN32
  OutputDebugStringA(line.c_str());
#endif
}

void TraceNumber(long long value) { Trace(std::to_string(value).c_str()); }

}  // namespace ql
