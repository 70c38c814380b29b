#include "fs/wildcard_pattern.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace ql {
namespace {

std::u32string Repeat(const std::u32string& text, std::size_t times) {
  std::u32string out;
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

TEST(WildcardPattern, FollowsWindowsDirectorySearch) {
  struct Case {
    std::u32string pattern;
    std::u32string name;
    bool matches;
  };
  const std::vector<Case> cases = {
      {U"*.*", U"README", true},
      {U"*.*", U"A.B.C", true},
      {U"X.*", U"X", true},
      {U"*.", U"README", true},
      {U"*.", U"A.TXT", false},
      {U"*.", U"..", true},
      {U"*.TXT", U"A.B.TXT", true},
      {U"*.TXT", U"NOTES.TXT", true},
      {U"*.TXT", U"A.TXT.BAK", false},
      {U"?.TXT", U"A.TXT", true},
      {U"?.TXT", U"AB.TXT", false},
      {U"A?.TXT", U"A.TXT", true},  // '?' may match nothing before a dot
      {U"A?B", U"A.B", false},
      {U"???", U"AB", true},  // ... or at the end
      {U"", U"", true},
      {U"", U"A", false},
      // One character, whatever its size.
      {U"CAFÉ*", U"CAFÉ.TXT", true},
      {U"*.TXT", U"表.TXT", true},
      {U"?.TXT", U"表.TXT", true},
      {U"?", U"表表", false},
      {U"?", U"\U0001F600", true},
      {U"Ａ*", U"ＡB", true},  // full-width A
      {U"A*", U"ＡB", false},
      // Patterns longer than a word of states.
      {Repeat(U"*", 200) + U"X", U"ABX", true},
      {Repeat(U"*", 200) + U"X", U"ABY", false},
      {Repeat(U"?", 130), Repeat(U"A", 129), true},
      {Repeat(U"?", 130), Repeat(U"A", 131), false},
      {Repeat(U"A", 100) + U"*.*", Repeat(U"A", 100), true},
      {Repeat(U"A", 100) + U"*.", Repeat(U"A", 101) + U".B", false},
      {Repeat(U"A?", 70) + U".B", Repeat(U"AC", 69) + U"A.B", true},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(WildcardPattern(cases[i].pattern).Matches(cases[i].name), cases[i].matches)
        << "case " << i;
  }
  EXPECT_FALSE(WildcardPattern(U"NAME.TXT").HasWildcards());
  EXPECT_TRUE(WildcardPattern(U"NAME.?").HasWildcards());
}

// A matcher that backtracks takes exponential time here and never finishes;
// scripts/bench.sh measures how long a linear one takes.
TEST(WildcardPattern, EndsOnPatternsMadeToBacktrack) {
  const WildcardPattern pattern(Repeat(U"*?", 129) + U"X");
  for (std::size_t i = 0; i < 255; ++i) {
    std::u32string name(255, U'A');
    name[i] = U'.';
    EXPECT_FALSE(pattern.Matches(name)) << i;
  }
}

}  // namespace
}  // namespace ql
