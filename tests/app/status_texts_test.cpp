// Sizes as both programs show them.
#include "app/common/status_texts.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace ql {
namespace {

// Each size reads in the unit it rounds to, never as "1000.0" of the one below.
TEST(FormatSizeTest, SizesReadInTheUnitTheyRoundTo) {
  const struct {
    std::uint64_t bytes;
    const char* shown;
  } cases[] = {
      {0, "0 B"},
      {999, "999 B"},
      {1000, "1.0 KB"},
      {999949, "999.9 KB"},
      {999960, "1.0 MB"},
      {2000000, "2.0 MB"},
      {999999999, "1.0 GB"},
      {UINT64_MAX, "18446744073.7 GB"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.shown) << c.bytes;
}

}  // namespace
}  // namespace ql
