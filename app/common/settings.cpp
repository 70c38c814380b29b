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

int ComPortNumber(const char* name) {
  const auto letter = [&name](int i, char upper) {
    return std::toupper(static_cast<unsigned char>(name[i])) == upper;
  };
  if (!letter(0, 'C') || !letter(1, 'O') || !letter(2, 'M') || name[3] == '0') return 0;
  int number = 0;
  const char* digit = name + 3;
  for (; std::isdigit(static_cast<unsigned char>(*digit)) != 0; ++digit) {
    number = number * 10 + (*digit - '0');
    if (number > kHighestPort) return 0;
  }
  return *digit == '\0' && digit != name + 3 ? number : 0;
}

}  // namespace ql
