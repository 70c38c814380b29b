// A burst fed in pieces reads as ReadAtSpeed reads it whole, at any speeds
// and however the sender's bytes were cut.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/uart_line.h"

namespace ql {
namespace {

TEST(UartBurstTest, PiecesReadAsTheWholeBurst) {
  std::string mixed;
  for (int i = 0; i < 300; ++i) mixed += static_cast<char>((i * 37 + i / 7) & 0xFF);
  const struct {
    std::string sent;
    std::uint32_t senderBaud;
    std::uint32_t receiverBaud;
  } cases[] = {
      {mixed, 19200, 19200},
      {mixed, 19200, 115200},
      {mixed, 115200, 19200},
      {mixed, 57600, 38400},
      {mixed, 38400, 57600},
      {std::string(50, '\0'), 115200, 19200},
      {std::string(50, '\xff'), 19200, 115200},
  };
  for (const auto& c : cases) {
    const std::vector<ReadByte> whole = ReadAtSpeed(c.sent, c.senderBaud, c.receiverBaud);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
      BurstReader reader(c.senderBaud, c.receiverBaud);
      std::vector<ReadByte> read;
      // Twice: after the line falls idle, the next burst reads afresh.
      for (int burst = 0; burst < 2; ++burst) {
        read.clear();
        for (std::size_t at = 0; at < c.sent.size(); at += piece) {
          reader.Send(c.sent.substr(at, piece), read);
        }
        reader.Idle(read);
      }
      ASSERT_EQ(read.size(), whole.size()) << c.senderBaud << " read at " << c.receiverBaud;
      for (std::size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].value, whole[i].value) << i;
        EXPECT_EQ(read[i].framingError, whole[i].framingError) << i;
        EXPECT_DOUBLE_EQ(read[i].stopSampleSeconds, whole[i].stopSampleSeconds) << i;
      }
    }
  }
}

}  // namespace
}  // namespace ql
