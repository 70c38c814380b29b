// Feeds arbitrary message sequences through gathering and the state machine,
// against a real folder standing in for drive C:.
#include <fuzzer/FuzzedDataProvider.h>

#include "fs/posix_file_system.h"
#include "link/link_receiver.h"
#include "link/link_server.h"
#include "tests/fuzz/fuzz_drive.h"
#include "tests/link/link_fakes.h"

namespace {

ql::fuzzing::FuzzDrive& Drive() {
  static ql::fuzzing::FuzzDrive drive;
  return drive;
}

ql::PosixFileSystem& Files() {
  static ql::PosixFileSystem files = [] {
    std::string error;
    return ql::PosixFileSystem({{'C', Drive().Drive()}},
                               *ql::CodePage::Open("WINDOWS-1252", error));
  }();
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ql;
  testing::FakeClock clock;
  testing::ScriptedPort port(clock);
  CLinkServer server(port, Files(), clock);
  CLinkReceiver receiver(port, server, clock, 64 * 1024);

  FuzzedDataProvider input(data, size);
  std::int64_t at = clock.now;
  while (input.remaining_bytes() > 0) {
    // Common commands often, anything else too; gaps around the quiet interval.
    static const char* const kCommands[] = {"@@", "@&", "&&"};
    std::string message = input.ConsumeBool() ? kCommands[input.ConsumeIntegralInRange<int>(0, 2)]
                                              : input.ConsumeRandomLengthString(600);
    if (input.ConsumeBool()) message = "C:\\" + message;
    port.Arrive(at, message);
    at += input.ConsumeIntegralInRange<int>(150, 900);
    if (input.ConsumeBool()) port.FailReadAfter(input.ConsumeIntegralInRange<int>(0, 3));
  }
  for (int guard = 0; guard < 10000 && port.NextArrivalMs() >= 0; ++guard) {
    receiver.OnSerialEvent(1, 0);
    clock.now = std::max(clock.now, port.NextArrivalMs());
  }
  receiver.OnSerialEvent(1, 0);
  if (receiver.receiveCount() > 64 * 1024) std::abort();
  Drive().CheckAndReset();
  return 0;
}
