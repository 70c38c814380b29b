#include "tools/peer/peer_session.h"

#include <algorithm>

namespace ql {
namespace {

constexpr std::size_t kPiece = kBlockSize;

}  // namespace

PeerSession::PeerSession(LinkPort& port, LinkClock& clock, std::uint32_t baud)
    : port_(port), clock_(clock), baud_(baud), gatherer_(port, clock) {}

bool PeerSession::Send(const void* data, std::size_t length) {
  return port_.SendBlocks(data, static_cast<std::uint32_t>(length)) == kSuccess;
}

PeerSession::Result PeerSession::Request(const char* command, const std::string& text) {
  // Whatever an earlier exchange left behind would be read as this one's
  // answer; what this side sent last is left to go out.
  port_.DiscardInput();
  if (port_.SendText(command) != kSuccess) return Result::kLineError;
  clock_.Sleep(kCommandPauseMs);
  return Send(text.data(), text.size()) ? Result::kDone : Result::kLineError;
}

PeerSession::Result PeerSession::Answer(std::string& message, std::int64_t waitMs,
                                        const ProgressSink& progress) {
  message.clear();
  const auto outcome = gatherer_.Gather(
      [&](const char* data, std::size_t length) {
        message.append(data, length);
        if (progress) progress(message.size());
      },
      waitMs);
  switch (outcome) {
    case MessageGatherer::Outcome::kMessage:
      return Result::kDone;
    case MessageGatherer::Outcome::kNothing:
      return Result::kNoAnswer;
    case MessageGatherer::Outcome::kReadError:
      break;
  }
  return Result::kLineError;
}

PeerSession::Result PeerSession::Expect(const char* echo) {
  std::string message;
  const Result result = Answer(message, kEchoWaitMs, nullptr);
  if (result != Result::kDone) return result;
  return message == echo ? Result::kDone : Result::kBadAnswer;
}

PeerSession::Result PeerSession::List(const std::string& pattern, std::vector<FindEntry>& entries) {
  entries.clear();
  Result result = Request(kCommandList, pattern);
  if (result == Result::kDone) result = Expect(kCommandList);
  if (result != Result::kDone) return result;
  std::string listing;
  result = Answer(listing, kPayloadWaitMs, nullptr);
  if (result == Result::kNoAnswer) return Result::kEchoOnly;
  if (result != Result::kDone) return result;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(listing.data());
  return DecodeListing(bytes, listing.size(), entries) ? Result::kDone : Result::kBadAnswer;
}

PeerSession::Result PeerSession::Get(const std::string& path, std::string& contents,
                                     const ProgressSink& progress) {
  contents.clear();
  Result result = Request(kCommandDownload, path);
  if (result == Result::kDone) result = Expect(kCommandDownload);
  if (result != Result::kDone) return result;
  result = Answer(contents, kPayloadWaitMs, progress);
  return result == Result::kNoAnswer ? Result::kEchoOnly : result;
}

PeerSession::Result PeerSession::Put(const std::string& path, const std::string& contents,
                                     const ProgressSink& progress) {
  Result result = Request(kCommandUpload, path);
  if (result != Result::kDone) return result;
  clock_.Sleep(kUploadNamePauseMs);
  const std::int64_t began = clock_.NowMs();
  // Pieces back to back, as one message; the pieces only pace the progress.
  for (std::size_t sent = 0; sent < contents.size();) {
    const std::size_t piece = std::min(kPiece, contents.size() - sent);
    if (!Send(contents.data() + sent, piece)) return Result::kLineError;
    sent += piece;
    if (progress) progress(sent);
  }
  // The port takes bytes faster than the line carries them: the upload is
  // whole once the last one is out and the desktop has seen the line fall
  // quiet behind it. Not every device counts what is still on its way (a
  // pseudo terminal never does), so the line's own time is waited out too:
  // ten bits a byte.
  if (port_.Drain() != kSuccess) return Result::kLineError;
  const std::int64_t lineMs =
      baud_ == 0 ? 0 : static_cast<std::int64_t>(contents.size() * 10 * 1000 / baud_) + 1;
  const std::int64_t left = began + lineMs - clock_.NowMs();
  if (left > 0) clock_.Sleep(left);
  clock_.Sleep(std::int64_t{2} * kQuietIntervalMs);
  return Result::kDone;
}

}  // namespace ql
