// The speed finder driven as the server drives it, with what a receiver at
// the server's speed reads of a handheld at another (uart_line.h).
#include "link/speed_finder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "link/uart_line.h"

namespace ql {
namespace {

const std::vector<std::uint32_t> kFourSpeeds{19200, 38400, 57600, 115200};

// A handheld at one speed and the finder listening as the server does: a
// message that decodes as a command is reported as one, any other as garble
// (a bare drive name and nothing at all are not reported).
struct Line {
  std::uint32_t handheld;
  SpeedFinder finder;
  int moves = 0;
  int settles = 0;

  void Arrive(const std::string& sent) {
    const std::string read = ReceivedAtSpeed(sent, handheld, finder.Speed());
    const bool command = read == "@@" || read == "@&" || read == "&&";
    const bool driveName = read.size() == 2 &&
                           std::isalpha(static_cast<unsigned char>(read[0])) != 0 && read[1] == ':';
    if (read.empty() || (driveName && !command)) return;
    LinkActivity activity(command ? LinkActivity::Kind::kCommand : LinkActivity::Kind::kGarbled,
                          read);
    activity.bytes = read.size();
    const SpeedFinder::Step step = finder.Take(activity);
    moves += step == SpeedFinder::Step::kMove ? 1 : 0;
    settles += step == SpeedFinder::Step::kSettle ? 1 : 0;
  }
  // A command and, 500 ms later, its path; true when the command decoded.
  bool Request(const std::string& command, const std::string& path) {
    const bool decodes = ReceivedAtSpeed(command, handheld, finder.Speed()) == command;
    Arrive(command);
    Arrive(path);
    return decodes;
  }
};

TEST(SpeedFinderTest, ReachesTheHandheldBySecondCommandFromAnySpeed) {
  const struct {
    const char* command;
    const char* path;
  } requests[] = {{"@@", "C:\\*.*"},
                  {"@&", "C:\\Documents\\report.txt"},
                  {"&&", "C:\\notes.txt"},
                  {"@@", "D:\\Storage Card\\*.*"}};
  for (const std::uint32_t handheld : kFourSpeeds) {
    for (const std::uint32_t start : kFourSpeeds) {
      for (const auto& first : requests) {
        Line line{handheld, SpeedFinder(kFourSpeeds, start)};
        const bool firstDecoded = line.Request(first.command, first.path);
        EXPECT_EQ(firstDecoded, handheld == start);
        // Whatever the first request was, the second decodes, and from then on it stays.
        for (const auto& next : requests) {
          EXPECT_TRUE(line.Request(next.command, next.path))
              << "handheld " << handheld << ", server from " << start << ", first " << first.command
              << ", then " << next.command;
        }
        EXPECT_EQ(line.finder.Speed(), handheld);
        // At the right speed a command decodes, so it never moves.
        EXPECT_TRUE(handheld != start || line.moves == 0) << handheld;
        EXPECT_EQ(line.settles, 1);
      }
    }
  }
}

TEST(SpeedFinderTest, WeighsStraysPathsAndNoise) {
  using Kind = LinkActivity::Kind;
  const auto garbled = [](const std::string& bytes) {
    LinkActivity activity(Kind::kGarbled, bytes);
    activity.bytes = bytes.size();
    return activity;
  };
  const struct {
    const char* what;
    std::vector<LinkActivity> arrivals;
    std::uint32_t speed;  // where it listens afterwards
  } cases[] = {
      // Once settled, one stray message is no reason to move.
      {"stray after a command",
       {LinkActivity(Kind::kCommand, "@@"), garbled(std::string("\x00\xe0\x00\xe0", 4))},
       38400},
      // A path with no command before it (the server restarted mid-exchange).
      {"path alone", {garbled("C:\\Documents\\report.txt")}, 38400},
      // Errors the line counted carry no bytes to compare.
      {"line errors", {garbled("")}, 38400},
      // "@@" at 19200 as 38400 reads it, though a command seemed to decode first:
      // a command out of noise pins nothing once two messages make none.
      {"command out of noise",
       {LinkActivity(Kind::kCommand, "@&"), garbled(ReceivedAtSpeed("@@", 19200, 38400)),
        garbled(ReceivedAtSpeed("C:\\*.*", 19200, 38400))},
       19200},
      // Noise cut up a command at the right speed, and the upload contents
      // after it came outside any exchange: nothing points to another speed.
      {"contents after a command noise cut up",
       {LinkActivity(Kind::kCommand, "@@"), garbled("&'"), garbled("\x7f\x45LF\x02\x01\x01")},
       38400},
      // Bytes that fit no speed: the next in turn.
      {"noise", {garbled("\x55\xaa\x55\xaa\x55")}, 57600},
  };
  for (const auto& c : cases) {
    SpeedFinder finder(kFourSpeeds, 38400);
    for (const LinkActivity& arrival : c.arrivals) finder.Take(arrival);
    EXPECT_EQ(finder.Speed(), c.speed) << c.what;
  }
}

TEST(SpeedFinderTest, FollowsAHandheldThatChangesSpeedMidSession) {
  for (const std::uint32_t before : kFourSpeeds) {
    for (const std::uint32_t after : kFourSpeeds) {
      Line line{before, SpeedFinder(kFourSpeeds, before)};
      EXPECT_TRUE(line.Request("@@", "C:\\*.*"));
      line.handheld = after;
      int lost = 0;
      while (!line.Request("@&", "C:\\a.txt") && lost < 4) ++lost;
      EXPECT_EQ(line.finder.Speed(), after) << before << " to " << after;
      EXPECT_LE(lost, 1) << before << " to " << after;
    }
  }
}

}  // namespace
}  // namespace ql
