#include "fs/handheld_path.h"

#include <gtest/gtest.h>

#include <chrono>

namespace ql {
namespace {

CodePage Latin1() {
  std::string error;
  return std::move(*CodePage::Open(kDefaultCodePage, error));
}

TEST(HandheldPath, NormalisesLikeWindows) {
  HandheldPath path;
  ASSERT_TRUE(ParseHandheldPath("c:/a/./b//c", path));
  EXPECT_EQ(path.drive, 'C');
  EXPECT_EQ(path.folders, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(path.name, "c");

  ASSERT_TRUE(ParseHandheldPath("C:\\..\\..\\x", path));
  EXPECT_TRUE(path.folders.empty());
  EXPECT_EQ(path.name, "x");

  ASSERT_TRUE(ParseHandheldPath("C:\\a\\b\\..", path));
  EXPECT_TRUE(path.folders.empty());
  EXPECT_EQ(path.name, "a");

  ASSERT_TRUE(ParseHandheldPath("C:\\dir\\", path));  // names the folder's contents, not an entry
  EXPECT_EQ(path.folders, std::vector<std::string>{"dir"});
  EXPECT_EQ(path.name, "");

  EXPECT_FALSE(ParseHandheldPath("\\\\server\\share\\x", path));
  EXPECT_FALSE(ParseHandheldPath("dir\\x", path));
  EXPECT_FALSE(ParseHandheldPath("C:\\" + std::string(257, 'x'), path));
  EXPECT_TRUE(ParseHandheldPath("C:\\" + std::string(256, 'x'), path));
}

TEST(WildcardPattern, FollowsWindowsDirectorySearch) {
  const CodePage codePage = Latin1();
  const auto matches = [&](const char* pattern, const char* name) {
    return WildcardPattern(pattern, codePage).Matches(name);
  };
  EXPECT_TRUE(matches("*.*", "README"));
  EXPECT_TRUE(matches("*.*", "a.b.c"));
  EXPECT_TRUE(matches("x.*", "x"));
  EXPECT_TRUE(matches("*.", "readme"));
  EXPECT_FALSE(matches("*.", "a.txt"));
  EXPECT_TRUE(matches("*.", ".."));
  EXPECT_TRUE(matches("*.txt", "a.b.txt"));
  EXPECT_TRUE(matches("*.TXT", "notes.txt"));
  EXPECT_TRUE(matches("caf\xC9*", "caf\xE9.txt"));  // É and é
  EXPECT_FALSE(matches("*.txt", "a.txt.bak"));
  EXPECT_TRUE(matches("?.txt", "a.txt"));
  EXPECT_FALSE(matches("?.txt", "ab.txt"));
  EXPECT_TRUE(matches("a?.txt", "a.txt"));  // '?' may match nothing before a dot
  EXPECT_FALSE(matches("a?b", "a.b"));
  EXPECT_FALSE(WildcardPattern("name.txt", codePage).HasWildcards());

  // Backtracking patterns stay cheap on long names.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(matches("*a*a*a*a*a*a*a*a*a*a*a*a*b", std::string(250, 'a').c_str()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(CodePage, ConvertsBothWaysAndRefusesUnknownNames) {
  std::string error;
  const std::optional<CodePage> windows1252 = CodePage::Open("WINDOWS-1252", error);
  ASSERT_TRUE(windows1252);
  EXPECT_EQ(windows1252->ToHandheld("caf\u00e9 \u20ac \u0436"), "caf\xE9 \x80 ?");
  EXPECT_EQ(windows1252->ToHost("caf\xE9 \x80"), "caf\u00e9 \u20ac");
  EXPECT_EQ(windows1252->ToHost("a\x81z"), "a?z");               // undefined in 1252
  EXPECT_EQ(windows1252->ToHandheld("a\xFFz\xE2\x82"), "a?z?");  // broken UTF-8
  EXPECT_EQ(windows1252->Upper('\xE9'), '\xC9');

  const std::optional<CodePage> cp1250 = CodePage::Open("CP1250", error);
  ASSERT_TRUE(cp1250);
  EXPECT_EQ(cp1250->ToHandheld("\u0142\u0160"), "\xB3\x8A");
  EXPECT_EQ(cp1250->Upper('\xB3'), '\xA3');  // ł → Ł

  EXPECT_TRUE(CodePage::Open("ISO-8859-1", error));
  error.clear();
  EXPECT_FALSE(CodePage::Open("NO-SUCH-PAGE", error));
  EXPECT_NE(error.find("NO-SUCH-PAGE"), std::string::npos);
  error.clear();
  EXPECT_FALSE(CodePage::Open("UTF-16", error));  // the path syntax needs plain ASCII
  EXPECT_FALSE(error.empty());
}

TEST(TerminalText, NothingFromTheLineOrTheDiskDrivesTheTerminal) {
  EXPECT_EQ(TerminalText("/home/me/caf\u00e9 \u20ac.txt"), "/home/me/caf\u00e9 \u20ac.txt");
  EXPECT_EQ(TerminalText("a\x1b]0;x\x07\x7f"), "a\\x1b]0;x\\x07\\x7f");
  EXPECT_EQ(TerminalText("\xc2\x9b"
                         "2J"),
            "\\u009b2J");  // C1: a terminal's CSI
  EXPECT_EQ(TerminalText("\xff\xc2"
                         "A\xe2\x82"),
            "\\xff\\xc2A\\xe2\\x82");  // not UTF-8
  // The handheld's own bytes, whatever they map to, come out the same way.
  std::string error;
  EXPECT_EQ(CodePage::Open("ISO-8859-1", error)
                ->ToTerminal("\x9b"
                             "1m"),
            "\\u009b1m");
}

}  // namespace
}  // namespace ql
