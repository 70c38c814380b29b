// The file system's costs measured in this process, without a line.
#pragma once

#include <filesystem>
#include <vector>

#include "bench/bench_row.h"

namespace ql::bench {

// Lists a folder of 10,000 files and matches names against a pattern made to
// backtrack; `work` is a scratch folder.
std::vector<Row> MeasureFileSystem(const std::filesystem::path& work);

}  // namespace ql::bench
