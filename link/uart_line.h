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

// The same reading for bytes that reach the line over time, as a long answer
// does: fed with bytes that follow the ones before without a gap, and told
// when the line falls idle. Over one burst it reads what ReadAtSpeed reads
// from all its bytes at once; a byte is yielded once every sample it takes
// is on the line, so that a sender's bytes need not all be known.
class BurstReader {
 public:
  BurstReader(std::uint32_t senderBaud, std::uint32_t receiverBaud);

  // A byte's ten levels on the line, the first sent in bit 0: start bit 0,
  // eight data bits from the lowest, stop bit 1.
  static std::uint16_t Frame(unsigned char byte);

  // Bytes sent right after the ones before; appends the bytes read in full.
  void Send(const std::string& bytes, std::vector<ReadByte>& read);
  // The same for frames as the line carried them, with bits flipped by noise.
  void SendFrames(const std::vector<std::uint16_t>& frames, std::vector<ReadByte>& read);
  // The line falls idle: the bytes still being read end in its ones, and the
  // next byte sent starts a new burst, whose times count from its first bit.
  void Idle(std::vector<ReadByte>& read);

 private:
  int Level(std::int64_t bit) const;
  void Read(bool idle, std::vector<ReadByte>& read);

  std::uint64_t senderBaud_;
  std::uint64_t receiverBaud_;
  std::vector<std::uint8_t> levels_;  // the burst's levels from bit `firstKept_` on
  std::int64_t firstKept_ = 0;
  std::int64_t bitsSent_ = 0;
  std::uint64_t searchFrom_ = 0;  // in the units ReadAtSpeed counts time in
};

}  // namespace ql
