#include "link/uart_line.h"

#include <algorithm>

namespace ql {
namespace {

constexpr std::uint64_t kBitsPerByte = 10;

}  // namespace

std::vector<ReadByte> ReadAtSpeed(const std::string& bytes, std::uint32_t senderBaud,
                                  std::uint32_t receiverBaud) {
  std::vector<ReadByte> read;
  BurstReader reader(senderBaud, receiverBaud);
  reader.Send(bytes, read);
  reader.Idle(read);
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

BurstReader::BurstReader(std::uint32_t senderBaud, std::uint32_t receiverBaud)
    : senderBaud_(senderBaud), receiverBaud_(receiverBaud) {}

std::uint16_t BurstReader::Frame(unsigned char byte) {
  return static_cast<std::uint16_t>(0x200U | static_cast<unsigned>(byte) << 1U);
}

void BurstReader::Send(const std::string& bytes, std::vector<ReadByte>& read) {
  std::vector<std::uint16_t> frames;
  frames.reserve(bytes.size());
  for (const char byte : bytes) frames.push_back(Frame(static_cast<unsigned char>(byte)));
  SendFrames(frames, read);
}

void BurstReader::SendFrames(const std::vector<std::uint16_t>& frames,
                             std::vector<ReadByte>& read) {
  for (const std::uint16_t frame : frames) {
    for (unsigned bit = 0; bit < kBitsPerByte; ++bit) {
      levels_.push_back(static_cast<std::uint8_t>((frame >> bit) & 1U));
    }
  }
  bitsSent_ += static_cast<std::int64_t>(frames.size() * kBitsPerByte);
  Read(false, read);
}

void BurstReader::Idle(std::vector<ReadByte>& read) {
  Read(true, read);
  levels_.clear();
  firstKept_ = bitsSent_ = 0;
  searchFrom_ = 0;
}

int BurstReader::Level(std::int64_t bit) const {
  if (bit < 0 || bit >= bitsSent_) return 1;
  return levels_[static_cast<std::size_t>(bit - firstKept_)];
}

// Time counts in units of 1 / (2 * senderBaud * receiverBaud) s, so that
// every sender bit boundary and every receiver half bit is a whole number.
// The receiver times each byte from a falling edge (a 0 after a 1) and
// samples each bit in its middle; it stops where a byte needs a level not
// sent yet, unless the line is idle.
void BurstReader::Read(bool idle, std::vector<ReadByte>& read) {
  if (senderBaud_ == 0 || receiverBaud_ == 0) return;
  const std::uint64_t senderBit = 2 * receiverBaud_;
  const std::uint64_t receiverBit = 2 * senderBaud_;
  const std::uint64_t halfReceiverBit = senderBaud_;
  const auto bitAt = [&](std::uint64_t time) {
    return static_cast<std::int64_t>(time / senderBit);
  };
  for (;;) {
    auto bit = static_cast<std::int64_t>((searchFrom_ + senderBit - 1) / senderBit);
    while (bit < bitsSent_ && !(Level(bit) == 0 && Level(bit - 1) == 1)) ++bit;
    if (bit >= bitsSent_) {
      searchFrom_ = static_cast<std::uint64_t>(bit) * senderBit;
      break;
    }
    const std::uint64_t start = static_cast<std::uint64_t>(bit) * senderBit;
    const std::uint64_t stop = start + 9 * receiverBit + halfReceiverBit;
    if (!idle && bitAt(stop) >= bitsSent_) {
      searchFrom_ = start;  // finds this start bit again once its byte is on the line
      break;
    }
    if (Level(bitAt(start + halfReceiverBit)) != 0) {
      searchFrom_ = start + halfReceiverBit;
      continue;
    }
    ReadByte byte;
    for (std::uint64_t data = 0; data < 8; ++data) {
      const std::uint64_t sample = start + (data + 1) * receiverBit + halfReceiverBit;
      byte.value = static_cast<unsigned char>(byte.value | Level(bitAt(sample)) << data);
    }
    byte.framingError = Level(bitAt(stop)) == 0;
    if (byte.framingError) byte.value = 0;
    byte.stopSampleSeconds =
        static_cast<double>(stop) / (2.0 * static_cast<double>(senderBaud_ * receiverBaud_));
    read.push_back(byte);
    searchFrom_ = stop;
  }
  // Only the level before the next search's first bit is looked at again.
  const std::int64_t keepFrom =
      std::min(bitsSent_, static_cast<std::int64_t>(searchFrom_ / senderBit)) - 1;
  if (keepFrom - firstKept_ >= 4096) {
    levels_.erase(levels_.begin(), levels_.begin() + (keepFrom - firstKept_));
    firstKept_ = keepFrom;
  }
}

}  // namespace ql
