// What a serial receiver reads from bytes sent at another speed. On the line
// each byte is ten bits (8N1: a start bit 0, eight data bits from the lowest,
// a stop bit 1), the line idles at 1 between bytes, and a receiver times a
// byte from the falling edge that starts it, sampling each bit at its middle
// at its own speed. A stop bit read as 0 is a framing error, which a POSIX
// driver delivers as a zero byte. The same bytes always read the same.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ql {

struct ReadByte {
  unsigned char value = 0;       // as sampled; a framing error is delivered as 0
  bool framingError = false;     // the stop bit read 0
  double stopSampleSeconds = 0;  // when its stop bit was sampled, from the first bit sent
};

// `bytes` sent back to back at `senderBaud` with the line idle before and
// after, read at `receiverBaud`.
std::vector<ReadByte> ReadAtSpeed(const std::string& bytes, std::uint32_t senderBaud,
                                  std::uint32_t receiverBaud);

// The same as the receiving program gets it: framing errors as zero bytes.
std::string ReceivedAtSpeed(const std::string& bytes, std::uint32_t senderBaud,
                            std::uint32_t receiverBaud);

}  // namespace ql
