#include <gtest/gtest.h>

#include "app/terminal/terminal_text.h"
#include "app/terminal/transfer_meter.h"

namespace ql {
namespace {

TEST(TerminalText, NothingFromTheLineOrTheDiskDrivesTheTerminal) {
  EXPECT_EQ(TerminalText("/home/me/caf\u00e9 \u20ac.txt"), "/home/me/caf\u00e9 \u20ac.txt");
  EXPECT_EQ(TerminalText("a\x1b]0;x\x07\x7f"), "a\\x1b]0;x\\x07\\x7f");
  EXPECT_EQ(TerminalText("\xc2\x9b"
                         "2J"),
            "\\u009b2J");  // C1: a terminal's CSI
  EXPECT_EQ(TerminalText("\xff\xc2"
                         "A\xe2\x82"),
            "\\xff\\xc2A\\xe2\\x82");  // not UTF-8
  EXPECT_EQ(TerminalText("\xc0\x9b\xed\xa0\x80\xf4\x90\x80\x80"),
            "\\xc0\\x9b\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80");  // overlong, surrogate, too high
}

TEST(TransferMeter, RateTimeLeftAndRedrawsFromTheFirstPieceOn) {
  using std::chrono::milliseconds;
  TransferMeter meter(10000, milliseconds(1000), milliseconds(200));
  const TransferMeter::Clock::time_point start{};
  const auto at = [&](int ms) { return start + milliseconds(ms); };
  EXPECT_FALSE(meter.Update(1000, at(0)));  // the first piece took no time of the measure
  EXPECT_EQ(meter.SecondsLeft(), -1) << "no rate yet";
  EXPECT_FALSE(meter.Update(2000, at(900))) << "not shown before a second";
  EXPECT_TRUE(meter.Update(3000, at(1000)));
  EXPECT_DOUBLE_EQ(meter.Rate(), 2000.0);
  EXPECT_EQ(meter.SecondsLeft(), 4);  // 7000 bytes at 2000 a second, rounded up
  EXPECT_FALSE(meter.Update(3100, at(1100))) << "redrawn at most every 200 ms";
  EXPECT_TRUE(meter.Update(3200, at(1200)));
}

}  // namespace
}  // namespace ql
