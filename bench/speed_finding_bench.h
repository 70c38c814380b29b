// How many of the handheld's commands go unanswered while the server finds
// its speed, worked out in this process from what a receiver at the server's
// speed reads of each message (link/uart_line.h); no line, no clock.
#pragma once

#include <vector>

#include "bench/bench_row.h"

namespace ql::bench {

// One row for each handheld speed and starting server speed: the most
// commands lost before the first one answered, over the three commands as
// the first one and a few paths.
std::vector<Row> MeasureSpeedFinding();

}  // namespace ql::bench
