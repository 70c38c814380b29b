#include "link/trace.h"

#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <mutex>
#endif

namespace ql {
namespace {

// The sink may be replaced while another thread traces. The 32-bit Windows
// runtime has no std::mutex, so Windows takes a critical section (which XP has).
#ifdef _WIN32
class SinkLock {
 public:
  SinkLock() { EnterCriticalSection(&Section()); }
  ~SinkLock() { LeaveCriticalSection(&Section()); }
  SinkLock(const SinkLock&) = delete;
  SinkLock& operator=(const SinkLock&) = delete;

 private:
  static CRITICAL_SECTION& Section() {
    static struct Holder {
      Holder() { InitializeCriticalSection(&section); }
      CRITICAL_SECTION section{};
    } holder;
    return holder.section;
  }
};
#else
std::mutex sinkMutex;
class SinkLock {
 public:
  SinkLock() : lock_(sinkMutex) {}

 private:
  std::lock_guard<std::mutex> lock_;
};
#endif

TraceSink& Sink() {
  static TraceSink sink;
  return sink;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

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
  const SinkLock lock;
  Sink() = std::move(sink);
}

void Trace(const char* text) {
  const std::string line = PrintableText(text);
  const SinkLock lock;
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
