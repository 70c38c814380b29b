#include "app/common/status_texts.h"

#include <cmath>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <vector>

#include "app/common/settings.h"

namespace ql {
namespace {

std::string Fixed(double value) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(1) << value;
  return text.str();
}

}  // namespace

std::string FormatSize(std::uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {" KB", " MB", " GB"};
  double scaled = static_cast<double>(bytes) / 1e3;
  std::size_t unit = 0;
  // What would read "1000.0" once rounded to a tenth is the next unit's
  // "1.0": 999,960 bytes are 1.0 MB.
  while (unit + 1 < std::size(kUnits) && std::round(scaled * 10) >= 10000) {
    scaled /= 1e3;
    ++unit;
  }
  return Fixed(scaled) + kUnits[unit];
}

std::string OtherSpeeds(unsigned baud) {
  std::vector<std::string> others;
  for (const unsigned speed : kSpeeds) {
    if (speed != baud) others.push_back(std::to_string(speed));
  }
  std::string list;
  for (std::size_t i = 0; i < others.size(); ++i) {
    if (i != 0) list += i + 1 == others.size() ? " or " : ", ";
    list += others[i];
  }
  return list;
}

}  // namespace ql
