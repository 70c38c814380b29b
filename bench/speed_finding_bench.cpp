#include "bench/speed_finding_bench.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <string>

#include "app/common/settings.h"
#include "link/speed_finder.h"
#include "link/uart_line.h"

namespace ql::bench {
namespace {

constexpr int kGiveUp = 12;

// Requests, each a command and 500 ms later its path, from a handheld at
// `handheld` to a server finding from `start`, until one is answered: the
// commands lost before it.
int CommandsLost(unsigned handheld, unsigned start, int firstCommand, const std::string& path) {
  SpeedFinder finder(std::vector<std::uint32_t>(kSpeeds.begin(), kSpeeds.end()), start);
  // What the server makes of one message: a command, garble, or nothing at
  // all (no bytes, or a bare drive name, which the line cannot tell apart).
  const auto arrive = [&finder, handheld](const std::string& sent) {
    const std::string read = ReceivedAtSpeed(sent, handheld, finder.Speed());
    const bool command = read == "@@" || read == "@&" || read == "&&";
    const bool driveName = read.size() == 2 &&
                           std::isalpha(static_cast<unsigned char>(read[0])) != 0 && read[1] == ':';
    if (read.empty() || (driveName && !command)) return command;
    LinkActivity activity(command ? LinkActivity::Kind::kCommand : LinkActivity::Kind::kGarbled,
                          read);
    activity.bytes = read.size();
    finder.Take(activity);
    return command;
  };
  const char* const commands[] = {"@@", "@&", "&&"};
  for (int lost = 0; lost < kGiveUp; ++lost) {
    if (arrive(commands[(firstCommand + lost) % 3])) return lost;
    arrive(path);
  }
  return kGiveUp;
}

}  // namespace

std::vector<Row> MeasureSpeedFinding() {
  const char* const paths[] = {"C:\\*.*", "C:\\Documents\\report.txt", "D:\\Storage Card\\*.*"};
  std::vector<Row> rows;
  std::cerr << "  commands lost while finding the speed (rows: handheld; columns: server from)\n";
  for (const unsigned handheld : kSpeeds) {
    std::cerr << "    " << handheld << ':';
    for (const unsigned start : kSpeeds) {
      int worst = 0;
      for (int first = 0; first < 3; ++first) {
        for (const char* path : paths)
          worst = std::max(worst, CommandsLost(handheld, start, first, path));
      }
      std::cerr << ' ' << worst;
      const int allowed = handheld == start ? 0 : 1;
      rows.push_back({"commands lost while finding the speed",
                      std::to_string(handheld) + " from " + std::to_string(start),
                      static_cast<double>(worst), "commands", "<= " + std::to_string(allowed),
                      worst <= allowed});
    }
    std::cerr << '\n';
  }
  return rows;
}

}  // namespace ql::bench
