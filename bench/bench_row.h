// One line of the benchmark's table.
#pragma once

#include <string>

namespace ql::bench {

struct Row {
  std::string measure;
  std::string setting;
  double value;
  std::string unit;
  std::string target;  // empty: reported, not compared
  bool met;
};

}  // namespace ql::bench
