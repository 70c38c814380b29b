#include "fs/handheld_path.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "fs/code_page.h"
#include "fs/wildcard_pattern.h"

namespace ql {
namespace {

CodePage Named(const char* name) {
  std::string error;
  std::optional<CodePage> codePage = CodePage::Open(name, error);
  EXPECT_TRUE(codePage) << error;
  return std::move(*codePage);
}

TEST(HandheldPath, NormalisesLikeWindows) {
  const HandheldCharset& latin = HandheldCharset::SingleByte();
  const auto parse = [&latin](const std::string& text, HandheldPath& path) {
    return ParseHandheldPath(text, path, latin);
  };
  HandheldPath path;
  ASSERT_TRUE(parse("c:/a/./b//c", path));
  EXPECT_EQ(path.drive, 'C');
  EXPECT_EQ(path.folders, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(path.name, "c");

  ASSERT_TRUE(parse("C:\\..\\..\\x", path));
  EXPECT_TRUE(path.folders.empty());
  EXPECT_EQ(path.name, "x");

  ASSERT_TRUE(parse("C:\\a\\b\\..", path));
  EXPECT_TRUE(path.folders.empty());
  EXPECT_EQ(path.name, "a");

  ASSERT_TRUE(parse("C:\\dir\\", path));  // names the folder's contents, not an entry
  EXPECT_EQ(path.folders, std::vector<std::string>{"dir"});
  EXPECT_EQ(path.name, "");

  EXPECT_FALSE(parse("\\\\server\\share\\x", path));
  EXPECT_FALSE(parse("dir\\x", path));
  EXPECT_FALSE(parse("C:\\" + std::string(257, 'x'), path));
  EXPECT_TRUE(parse("C:\\" + std::string(256, 'x'), path));

  // In Shift-JIS 0x95 0x5C is one character (表), never a separator, and a
  // length is counted in characters.
  const CodePage shiftJis = Named("SHIFT_JIS");
  ASSERT_TRUE(ParseHandheldPath("C:\\\x95\x5C\\\x83\x5C.txt", path, shiftJis));
  EXPECT_EQ(path.folders, std::vector<std::string>{"\x95\x5C"});
  EXPECT_EQ(path.name, "\x83\x5C.txt");
  std::string deep = "C:";
  for (int i = 0; i < 128; ++i) deep += "\\\x95\x5C";  // 2 + 128 * 2 = 258 characters
  EXPECT_TRUE(ParseHandheldPath(deep, path, shiftJis));
  EXPECT_FALSE(ParseHandheldPath(deep + "xx", path, shiftJis));
}

// A text cut to fit a number of bytes never ends inside a character: 表 is
// 0x95 0x5C in code page 932, and a lead byte at the very end stands alone.
TEST(HandheldPath, FitsTextBetweenCharacters) {
  const CodePage shiftJis = Named("CP932");
  const struct {
    const char* text;
    std::size_t limit;
    std::size_t fit;
  } cases[] = {
      {"ab\x95\\c", 3, 2}, {"ab\x95\\c", 4, 4}, {"ab\x95\\c", 9, 5}, {"ab\x95", 3, 3}, {"", 5, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FitChars(c.text, c.limit, shiftJis), c.fit) << c.text << " in " << c.limit;
  }
  EXPECT_EQ(FitChars("ab\x95\\c", 3, HandheldCharset::SingleByte()), 3u);
}

std::u32string Upper(const CodePage& codePage, const std::string& ansi) {
  return codePage.UpperHostChars(*codePage.HostName(ansi, CodePage::NameUse::kPattern));
}

// Names are the same file when Windows would take them so: by the
// upper-case forms of their characters, never by bytes inside a character.
TEST(CodePage, ComparesNamesCaseBlindByCharacter) {
  struct Case {
    const char* page;
    const char* a;
    const char* b;
    bool same;
  };
  for (const Case& c : {
           Case{"WINDOWS-1252", "caf\xE9.TXT", "CAF\xC9.txt", true},  // é É
           Case{"WINDOWS-1252", "\x81", "\x8D", false},               // undefined, distinct
           Case{"SHIFT_JIS", "\x83\x41.txt", "\x83\x61.txt", false},  // ア ヂ
           Case{"SHIFT_JIS", "\x82\x81", "\x82\x60", true},           // ａ Ａ (full width)
           Case{"SHIFT_JIS", "\x95\x5C.TXT", "\x95\x5C.txt", true},   // 表.txt
           Case{"GBK", "\xB1\xED.txt", "\xB1\xED.TXT", true},         // 表
           Case{"BIG5", "\xAA\xED", "\xAA\xEE", false},               // 表 and another
           Case{"EUC-KR", "\xC7\xA5", "\xC7\xA6", false},             // 표 and another
       }) {
    const CodePage codePage = Named(c.page);
    EXPECT_EQ(Upper(codePage, c.a) == Upper(codePage, c.b), c.same) << c.page << " " << c.a;
  }
  const CodePage shiftJis = Named("CP932");
  EXPECT_TRUE(WildcardPattern(Upper(shiftJis, "*.TXT")).Matches(Upper(shiftJis, "\x95\x5C.txt")));
  EXPECT_TRUE(WildcardPattern(Upper(shiftJis, "?.txt")).Matches(Upper(shiftJis, "\x95\x5C.txt")));
}

TEST(CodePage, ConvertsBothWaysAndRefusesUnknownNames) {
  std::string error;
  const std::optional<CodePage> windows1252 = CodePage::Open("WINDOWS-1252", error);
  ASSERT_TRUE(windows1252);
  EXPECT_EQ(windows1252->ToHandheld("caf\u00e9 \u20ac \u0436"), "caf\xE9 \x80 ?");
  EXPECT_EQ(windows1252->ToHost("caf\xE9 \x80"), "caf\u00e9 \u20ac");
  EXPECT_EQ(windows1252->ToHost("a\x81z"), "a\u0081z");  // undefined in 1252: as Windows maps it
  EXPECT_EQ(windows1252->ToHandheld("a\u0081z"), "a\x81z");
  EXPECT_EQ(windows1252->ToHandheld("a\xFFz\xE2\x82"), "a?z?");  // broken UTF-8

  const std::optional<CodePage> cp1250 = CodePage::Open("CP1250", error);
  ASSERT_TRUE(cp1250);
  EXPECT_EQ(cp1250->ToHandheld("\u0142\u0160"), "\xB3\x8A");
  EXPECT_EQ(Upper(*cp1250, "\xB3"), U"\u0141");  // ł → Ł

  EXPECT_TRUE(CodePage::Open("ISO-8859-1", error));
  error.clear();
  EXPECT_FALSE(CodePage::Open("NO-SUCH-PAGE", error));
  EXPECT_NE(error.find("NO-SUCH-PAGE"), std::string::npos);
  error.clear();
  // The path syntax needs ASCII as it is, in every state.
  for (const char* unfit : {"UTF-16", "ISO-2022-JP", "ISO-2022-KR", "UTF-7"}) {
    error.clear();
    EXPECT_FALSE(CodePage::Open(unfit, error)) << unfit;
    EXPECT_FALSE(error.empty());
  }
  for (const char* known : {"cp932", "Shift_JIS", "SJIS", "WINDOWS-31J", "GBK", "CP936", "BIG5",
                            "CP950", "EUC-KR", "UHC", "CP949"}) {
    EXPECT_TRUE(CodePage::Open(known, error)) << known << ": " << error;
  }
  // Windows' lead bytes, also those of the user-defined areas iconv leaves
  // out: the 0x5C after them is never a backslash, and such a name maps to nothing.
  for (const auto& [page, lead] : {std::pair{"CP949", 0xC9},
                                   {"CP949", 0xFE},
                                   {"CP950", 0x81},
                                   {"CP950", 0xFA},
                                   {"CP932", 0xFC}}) {
    EXPECT_TRUE(Named(page).IsLeadByte(static_cast<unsigned char>(lead))) << page << " " << lead;
  }
  EXPECT_FALSE(Named("CP932").IsLeadByte(0xA0));
  // glibc's UHC takes this bad pair whole before it reports it.
  EXPECT_FALSE(Named("CP949").HostName("\xA2\xE8"));
  EXPECT_EQ(Named("CP949").ToHost("a\xA2\xE8"), "a?");
  EXPECT_TRUE(Named("SHIFT_JIS").IsLeadByte(0x95));
  EXPECT_FALSE(Named("SHIFT_JIS").IsLeadByte(0xB1));  // a half-width katakana of its own
  EXPECT_FALSE(Named("WINDOWS-1252").IsLeadByte(0x95));
}

}  // namespace
}  // namespace ql
