#include "link/trace.h"

#include <atomic>
#include <thread>
#include <utility>

namespace ql {
namespace {

// The sink may be replaced while another thread traces, and lines of two
// threads must not mix. Traces are rare and short, so a lock that yields while
// it spins serves, and needs no mutex (the 32-bit Windows runtime has none).
std::atomic_flag sinkBusy = ATOMIC_FLAG_INIT;

class SinkLock {
 public:
  SinkLock() {
    while (sinkBusy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  ~SinkLock() { sinkBusy.clear(std::memory_order_release); }
  SinkLock(const SinkLock&) = delete;
  SinkLock& operator=(const SinkLock&) = delete;
};

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
  if (Sink()) Sink()(line);
}

void TraceNumber(long long value) { Trace(std::to_string(value).c_str()); }

}  // namespace ql
