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

}  // namespace

void SetTraceSink(TraceSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  Sink() = std::move(sink);
}

void Trace(const char* text) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  if (Sink()) {
    Sink()(text);
    return;
  }
#ifdef _WIN32
  OutputDebugStringA(text);
#endif
}

void TraceNumber(long long value) { Trace(std::to_string(value).c_str()); }

}  // namespace ql
