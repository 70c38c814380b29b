// What one end of the virtual cable receives from bytes sent at the other:
// what its UART would read at its own speed, paced or not, framing errors
// counted, and noise that repeats with its seed.
#include "tools/cable/virtual_cable.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "link/uart_line.h"
#include "serial/posix/posix_serial_line.h"
#include "tests/tools/child_process.h"

namespace ql::testing {
namespace {

// A command and a path as the handheld sends them, and every byte value.
std::string Sent() {
  std::string bytes = "@&C:\\Reports\\march.csv";
  for (int value = 0; value < 256; value += 5) bytes += static_cast<char>(value);
  return bytes;
}

struct Carried {
  std::string received;
  std::uint64_t framingErrors = 0;
};

// `bytes` written at once on the handheld's end at `senderBaud`, as the
// server's end reads them at `receiverBaud` until the line stays quiet.
Carried Carry(const CableOptions& options, const std::string& bytes, std::uint32_t senderBaud,
              std::uint32_t receiverBaud) {
  ScratchFolder scratch;
  std::string error;
  const auto cable = VirtualCable::Create(scratch.path().string(), error, options);
  EXPECT_NE(cable, nullptr) << error;
  if (!cable) return {};
  PosixSerialLine sender;
  PosixSerialLine receiver;
  EXPECT_EQ(sender.Open(cable->DevicePath(VirtualCable::kHandheldEnd)), 0);
  EXPECT_EQ(receiver.Open(cable->DevicePath(VirtualCable::kServerEnd)), 0);
  EXPECT_EQ(sender.SetSpeed(senderBaud), 0);
  EXPECT_EQ(receiver.SetSpeed(receiverBaud), 0);
  EXPECT_EQ(sender.SendBlocks(bytes.data(), static_cast<std::uint32_t>(bytes.size())), kSuccess);
  Carried carried;
  char chunk[512];
  // Paced, the slowest case takes 150 ms; half a second without a byte ends the read.
  while (receiver.WaitFor(500) == PosixSerialLine::WaitResult::kReadable) {
    std::uint32_t count = 0;
    if (receiver.ReceiveBytes(chunk, sizeof chunk, &count) != kSuccess) break;
    carried.received.append(chunk, count);
  }
  carried.framingErrors = cable->State(VirtualCable::kServerEnd).framingErrors;
  return carried;
}

TEST(VirtualCableTest, EachEndReadsAtItsOwnSpeed) {
  const std::string sent = Sent();
  const struct {
    std::uint32_t senderBaud;
    std::uint32_t receiverBaud;
  } cases[] = {{19200, 19200}, {115200, 115200}, {19200, 115200}, {115200, 19200}};
  for (const auto& c : cases) {
    const auto read = ReadAtSpeed(sent, c.senderBaud, c.receiverBaud);
    std::uint64_t framingErrors = 0;
    for (const ReadByte& byte : read) framingErrors += byte.framingError ? 1 : 0;
    for (const bool paced : {false, true}) {
      CableOptions options;
      options.paced = paced;
      const Carried carried = Carry(options, sent, c.senderBaud, c.receiverBaud);
      const std::string setting = std::to_string(c.senderBaud) + " read at " +
                                  std::to_string(c.receiverBaud) + (paced ? ", paced" : "");
      EXPECT_EQ(carried.received, ReceivedAtSpeed(sent, c.senderBaud, c.receiverBaud)) << setting;
      EXPECT_EQ(carried.framingErrors, framingErrors) << setting;
    }
  }
}

TEST(VirtualCableTest, NoiseRepeatsWithItsSeed) {
  CableOptions options;
  options.bitErrorRate = 0.01;
  const std::string sent = Sent();
  const Carried first = Carry(options, sent, 115200, 115200);
  const Carried again = Carry(options, sent, 115200, 115200);
  EXPECT_NE(first.received, sent);
  EXPECT_EQ(first.received, again.received);
}

}  // namespace
}  // namespace ql::testing
