#include "link/speed_finder.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "link/uart_line.h"
#include "link/wire_format.h"

namespace ql {
namespace {

constexpr std::size_t kBitsPerByte = 10;  // 8N1
// Leading bytes that must agree before a speed counts as plausible: a first
// byte alone is no evidence, since at a faster receiver most garble starts
// with a zero byte.
constexpr std::size_t kAgreementNeeded = 2;
// Ranks an exact match above any agreement of leading bytes.
constexpr std::size_t kExactMatch = 1000;

// A drive letter, a colon and no control byte: what the handheld names, and
// what no garble looks like (garble is full of zero bytes).
bool IsPlausiblePath(const std::string& message) {
  if (message.size() < 2 || std::isalpha(static_cast<unsigned char>(message[0])) == 0 ||
      message[1] != ':') {
    return false;
  }
  return std::none_of(message.begin(), message.end(),
                      [](char byte) { return static_cast<unsigned char>(byte) < 0x20; });
}

std::size_t CommonStart(const std::string& a, const std::string& b) {
  std::size_t common = 0;
  while (common < a.size() && common < b.size() && a[common] == b[common]) ++common;
  return common;
}

// What `listening` reads of `start` sent at `senderBaud` that whatever
// follows it cannot change: the bytes whose stop bit is sampled before
// `start` has been sent.
std::string DecidedBy(const std::string& start, std::uint32_t senderBaud, std::uint32_t listening) {
  const double sentSeconds =
      static_cast<double>(start.size() * kBitsPerByte) / static_cast<double>(senderBaud);
  std::string decided;
  for (const ReadByte& byte : ReadAtSpeed(start, senderBaud, listening)) {
    if (byte.stopSampleSeconds >= sentSeconds) break;
    decided += static_cast<char>(byte.value);
  }
  return decided;
}

}  // namespace

SpeedFinder::SpeedFinder(std::vector<std::uint32_t> speeds, std::uint32_t start)
    : speeds_(std::move(speeds)), speed_(start) {
  if (std::find(speeds_.begin(), speeds_.end(), start) == speeds_.end()) {
    speeds_.insert(speeds_.begin(), start);
  }
}

SpeedFinder::Step SpeedFinder::Take(const LinkActivity& activity) {
  if (activity.kind == LinkActivity::Kind::kCommand) {
    unsettled_ = false;
    if (settled_) return Step::kStay;
    settled_ = true;
    return Step::kSettle;
  }
  // Errors the line counted come without bytes: nothing to compare.
  if (activity.kind != LinkActivity::Kind::kGarbled || activity.text.empty()) return Step::kStay;
  if (!settled_) return MoveFor(activity.text);
  if (!unsettled_) {
    unsettled_ = true;
    unsettling_ = activity.text;
    return Step::kStay;
  }
  // Two in a row: the handheld may have changed its speed. The first of them
  // is most likely its command, the better evidence. With evidence of no
  // other speed it stays: a speed a command confirmed is no guess, and noise
  // that cut up a command leaves what follows it (a path, an upload's
  // contents) to arrive outside any exchange at the right speed.
  unsettled_ = false;
  std::uint32_t sender = MostPlausibleSender(unsettling_, speed_);
  if (sender == 0 || sender == speed_) sender = MostPlausibleSender(activity.text, speed_);
  if (sender == 0 || sender == speed_) return Step::kStay;
  settled_ = false;
  speed_ = sender;
  moved_ = true;
  return Step::kMove;
}

SpeedFinder::Step SpeedFinder::MoveFor(const std::string& message) {
  std::uint32_t sender = MostPlausibleSender(message, speed_);
  if (sender == speed_) return Step::kStay;
  if (sender == 0) sender = NextInTurn(speed_);
  speed_ = sender;
  moved_ = true;
  return Step::kMove;
}

std::uint32_t SpeedFinder::NextInTurn(std::uint32_t after) const {
  const auto at = std::find(speeds_.begin(), speeds_.end(), after);
  if (at == speeds_.end() || at + 1 == speeds_.end()) return speeds_.front();
  return *(at + 1);
}

std::uint32_t SpeedFinder::MostPlausibleSender(const std::string& message,
                                               std::uint32_t listening) const {
  if (IsPlausiblePath(message)) return listening;
  // Others in turn after `listening`, so that a tie goes to the next in turn.
  std::vector<std::uint32_t> others;
  for (std::uint32_t speed = NextInTurn(listening); speed != listening; speed = NextInTurn(speed)) {
    others.push_back(speed);
  }
  std::uint32_t best = 0;
  std::size_t bestScore = kAgreementNeeded - 1;
  const auto weigh = [&](std::size_t score, std::uint32_t sender) {
    if (score > bestScore) {
      bestScore = score;
      best = sender;
    }
  };
  // The list first: the file manager lists a folder as soon as it opens.
  for (const char* command : {kCommandList, kCommandDownload, kCommandUpload}) {
    for (const std::uint32_t sender : others) {
      const std::string garble = ReceivedAtSpeed(command, sender, listening);
      weigh(garble == message ? kExactMatch : CommonStart(garble, message), sender);
    }
  }
  // A path whose command went unseen (garbled to nothing, or to a drive name).
  for (char drive = 'A'; drive <= 'Z'; ++drive) {
    for (const std::uint32_t sender : others) {
      weigh(CommonStart(DecidedBy(std::string{drive, ':', '\\'}, sender, listening), message),
            sender);
    }
  }
  return best;
}

}  // namespace ql
