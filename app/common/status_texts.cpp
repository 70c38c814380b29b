#include "app/common/status_texts.h"

#include <iomanip>
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
  constexpr std::uint64_t kThousand = 1000;
  if (bytes < kThousand) return std::to_string(bytes) + " B";
  if (bytes < kThousand * kThousand) return Fixed(static_cast<double>(bytes) / 1e3) + " KB";
  if (bytes < kThousand * kThousand * kThousand) {
    return Fixed(static_cast<double>(bytes) / 1e6) + " MB";
  }
  return Fixed(static_cast<double>(bytes) / 1e9) + " GB";
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
