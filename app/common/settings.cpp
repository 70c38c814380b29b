#include "app/common/settings.h"

#include <cctype>
#include <climits>

namespace ql {

int ParseSettingValue(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  long long value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*text)) != 0; ++text) {
    value = value * 10 + (*text - '0');
    if (value > INT_MAX) value = INT_MAX;  // the stored text is at most 7 characters anyway
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace ql
