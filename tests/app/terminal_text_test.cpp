#include "app/terminal/terminal_text.h"

#include <gtest/gtest.h>

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
}

}  // namespace
}  // namespace ql
