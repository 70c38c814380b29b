#include "link/uart_line.h"

namespace ql {
namespace {

constexpr std::uint64_t kBitsPerByte = 10;

// The line's level during sender bit `bit` (-1 and past the end: idle).
int Level(const std::string& bytes, std::int64_t bit) {
  if (bit < 0 || bit >= static_cast<std::int64_t>(bytes.size() * kBitsPerByte)) return 1;
  const auto at = static_cast<std::size_t>(bit / kBitsPerByte);
  const auto position = static_cast<int>(bit % kBitsPerByte);
  if (position == 0) return 0;
  if (position == 9) return 1;
  return (static_cast<unsigned char>(bytes[at]) >> (position - 1)) & 1;
}

}  // namespace

std::vector<ReadByte> ReadAtSpeed(const std::string& bytes, std::uint32_t senderBaud,
                                  std::uint32_t receiverBaud) {
  std::vector<ReadByte> read;
  if (senderBaud == 0 || receiverBaud == 0) return read;
  // Time in units of 1 / (2 * senderBaud * receiverBaud) s, so that every
  // sender bit boundary and every receiver half bit is a whole number.
  const std::uint64_t senderBit = 2 * std::uint64_t{receiverBaud};
  const std::uint64_t receiverBit = 2 * std::uint64_t{senderBaud};
  const std::uint64_t halfReceiverBit = senderBaud;
  const auto levelAt = [&](std::uint64_t time) {
    return Level(bytes, static_cast<std::int64_t>(time / senderBit));
  };
  const auto lastBit = static_cast<std::int64_t>(bytes.size() * kBitsPerByte);
  std::uint64_t searchFrom = 0;
  for (;;) {
    // The next falling edge at or after searchFrom: a sender bit at 0 after one at 1.
    auto bit = static_cast<std::int64_t>((searchFrom + senderBit - 1) / senderBit);
    while (bit < lastBit && !(Level(bytes, bit) == 0 && Level(bytes, bit - 1) == 1)) ++bit;
    if (bit >= lastBit) break;
    const std::uint64_t start = static_cast<std::uint64_t>(bit) * senderBit;
    if (levelAt(start + halfReceiverBit) != 0) {  // a glitch, not a start bit
      searchFrom = start + halfReceiverBit;
      continue;
    }
    ReadByte byte;
    for (int data = 0; data < 8; ++data) {
      const std::uint64_t sample = start + (data + 1) * receiverBit + halfReceiverBit;
      byte.value = static_cast<unsigned char>(byte.value | levelAt(sample) << data);
    }
    const std::uint64_t stop = start + 9 * receiverBit + halfReceiverBit;
    byte.framingError = levelAt(stop) == 0;
    if (byte.framingError) byte.value = 0;
    byte.stopSampleSeconds =
        static_cast<double>(stop) / (2.0 * static_cast<double>(senderBaud) * receiverBaud);
    read.push_back(byte);
    searchFrom = stop;
  }
  return read;
}

std::string ReceivedAtSpeed(const std::string& bytes, std::uint32_t senderBaud,
                            std::uint32_t receiverBaud) {
  std::string received;
  for (const ReadByte& byte : ReadAtSpeed(bytes, senderBaud, receiverBaud)) {
    received += static_cast<char>(byte.value);
  }
  return received;
}

}  // namespace ql
