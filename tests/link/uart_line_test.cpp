// What a receiver at one speed reads from bytes sent at another, against
// bytes worked out by hand from the bits on the line.
#include "link/uart_line.h"

#include <gtest/gtest.h>

#include <string>

namespace ql {
namespace {

TEST(UartLineTest, ReadsWhatTheBitsSayAtEitherSpeed) {
  using namespace std::string_literals;
  const struct {
    std::string sent;
    std::uint32_t senderBaud;
    std::uint32_t receiverBaud;
    std::string received;
    int framingErrors;
  } cases[] = {
      {"@@&&\x00\xff"s, 38400, 38400, "@@&&\x00\xff"s, 0},
      // Each bit sent lasts six read: the start bit and six zero bits make a
      // zero byte whose stop bit reads 0; the next falling edge, at the last
      // data bit, starts a byte that ends in the stop bit's ones.
      {"@@", 19200, 115200, "\x00\xe0\x00\xe0"s, 2},
      // Each bit read spans six sent: both bytes pass within two bits read.
      {"@", 115200, 19200, "\xff", 0},
      {"@@", 115200, 19200, "\xfd", 0},
      {"", 19200, 115200, "", 0},
  };
  for (const auto& c : cases) {
    const auto read = ReadAtSpeed(c.sent, c.senderBaud, c.receiverBaud);
    int framingErrors = 0;
    for (const ReadByte& byte : read) framingErrors += byte.framingError ? 1 : 0;
    EXPECT_EQ(ReceivedAtSpeed(c.sent, c.senderBaud, c.receiverBaud), c.received)
        << c.senderBaud << " read at " << c.receiverBaud;
    EXPECT_EQ(framingErrors, c.framingErrors) << c.senderBaud << " read at " << c.receiverBaud;
  }
}

}  // namespace
}  // namespace ql
