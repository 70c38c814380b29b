#include "link/link_server.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "link/trace.h"

namespace ql {
namespace {

// Files are read and sent in pieces of this size, so a download costs the
// same memory whatever the file's size.
constexpr std::uint32_t kFilePiece = 1u << 20;
// Payloads go to the port in slices of this size, a multiple of the block
// size, so that progress can be told while a long one goes out: about every
// two seconds at 19200 baud.
constexpr std::uint32_t kProgressSlice = 4 * kBlockSize;

// Fills `piece` from the file until it is full or the file ends; false on a read error.
bool ReadPiece(ReadableFile& file, std::vector<char>& piece, std::uint32_t wanted) {
  piece.resize(wanted);
  std::uint32_t filled = 0;
  while (filled < wanted) {
    std::uint32_t count = 0;
    if (!file.Read(piece.data() + filled, wanted - filled, &count)) return false;
    if (count == 0) break;
    filled += count;
  }
  piece.resize(filled);
  return true;
}

}  // namespace

CLinkServer::CLinkServer(LinkPort& port, FileSystem& fileSystem, LinkClock& clock)
    : port_(port), fileSystem_(fileSystem), clock_(clock) {}

int CLinkServer::SetStateMachine(char* text) {
  Trace("server setmachine state");
  text[kCommandLength] = 0;
  const std::pair<const char*, LinkState> commands[] = {
      {kCommandList, LINK_LIST}, {kCommandDownload, LINK_SEND}, {kCommandUpload, LINK_UPLOAD_NAME}};
  for (const auto& [command, state] : commands) {
    if (std::strcmp(text, command) == 0) {
      state_ = state;
      Report(LinkActivity::Kind::kCommand, command);
      break;
    }
  }
  // Whatever was queued belongs to the exchange before this command.
  port_.DiscardBuffers();
  return 1;
}

Status CLinkServer::Serve(char* message, std::size_t length) {
  sendError_ = kSuccess;
  if (length == kCommandLength) {
    SetStateMachine(message);
  } else {
    ProcessStateMachine(message, length);
  }
  return sendError_;
}

int CLinkServer::ProcessStateMachine(char* buffer, std::size_t length) {
  Trace("server processtmachine state");
  switch (state_) {
    case LINK_LIST:
      if (!Sent(port_.SendText(kCommandList), buffer, 0)) return 1;
      clock_.Sleep(kEchoPauseMs);
      Trace("SendFolderContent");
      SendFolderContent(buffer);
      return 1;
    case LINK_SEND:
      buffer[length] = 0;
      Trace("sending file");
      SendFile(buffer);
      return 1;
    case LINK_UPLOAD_NAME:
      buffer[length] = 0;
      return TakeUploadName(buffer);
    case LINK_UPLOAD_DATA:
      return StoreUpload(buffer, length);
    default:
      return 1;
  }
}

int CLinkServer::TakeUploadName(const char* path) {
  uploadName_ = UploadNameOf(path);
  const char* refusal = UploadNameRefusal(uploadName_);
  if (refusal == nullptr && !fileSystem_.AcceptsUploadName(uploadName_)) {
    refusal = "a name this desktop keeps for configuration";
  }
  if (refusal != nullptr) {
    Trace("upload name refused");
    Trace(path);
    Trace(refusal);
    LinkActivity refused{LinkActivity::Kind::kUploadNameRefused, uploadName_};
    refused.reason = refusal;
    Report(refused);
    uploadName_.clear();
  } else {
    Report(LinkActivity::Kind::kUploadNameTaken, uploadDirectory_ + uploadName_);
  }
  state_ = LINK_UPLOAD_DATA;
  clock_.Sleep(kEchoPauseMs);  // the handheld sends the contents after this pause
  return 1;
}

void CLinkServer::DiscardMessage() {
  if (state_ == LINK_UPLOAD_DATA) uploadName_.clear();
}

int CLinkServer::StoreUpload(const char* data, std::size_t length) {
  if (uploadName_.empty()) {
    Trace("upload refused: no valid name");
    LinkActivity refused(LinkActivity::Kind::kUploadFailed);
    refused.reason = "no valid name";
    refused.bytes = length;
    Report(refused);
    return 0;
  }
  const std::string path = uploadDirectory_ + uploadName_;
  Trace("upload save");
  Trace(path.c_str());
  std::unique_ptr<WritableFile> file = fileSystem_.CreateNew(path);
  if (!file) {  // most often: the file exists, and it is never overwritten
    Report(LinkActivity::Kind::kUploadExists, path, length);
    return 0;
  }
  TraceNumber(file->TraceId());
  const bool written = file->Write(data, length);
  file.reset();
  if (!written) {
    Trace("upload write failed, partial file removed");
    fileSystem_.Remove(path);
    LinkActivity failed(LinkActivity::Kind::kUploadFailed, path);
    failed.reason = "the disk refused the write";
    failed.bytes = length;
    Report(failed);
    return 0;
  }
  Trace("ulozit");
  Trace(uploadName_.c_str());
  Report(LinkActivity::Kind::kUploadStored, path, length);
  return 1;
}

void CLinkServer::Report(LinkActivity::Kind kind, const std::string& text,
                         std::uint64_t bytes) const {
  LinkActivity activity{kind, text};
  activity.bytes = bytes;
  Report(activity);
}

bool CLinkServer::Sent(Status status, const std::string& subject, std::uint64_t bytesBefore) {
  if (status == kSuccess) return true;
  sendError_ = status;
  // What follows a lost piece would be read by the handheld as the piece itself.
  Trace("transfer ended: the port did not take the bytes");
  TraceNumber(status);
  Report(LinkActivity::Kind::kTransferEnded, subject, bytesBefore);
  return false;
}

bool CLinkServer::SendPayload(const std::string& subject, const void* data, std::uint32_t length,
                              std::uint64_t sentBefore, std::uint64_t total) {
  const auto* bytes = static_cast<const char*>(data);
  std::uint32_t sent = 0;
  do {
    const std::uint32_t slice = std::min(length - sent, kProgressSlice);
    if (!Sent(port_.SendBlocks(bytes + sent, slice), subject, sentBefore + sent)) return false;
    sent += slice;
    LinkActivity progress{LinkActivity::Kind::kSending, subject};
    progress.bytes = sentBefore + sent;
    progress.total = total;
    Report(progress);
  } while (sent < length);
  return true;
}

int CLinkServer::SendFolderContent(const char* pattern) {
  Trace("server Sendfoldercontent");
  std::vector<FindEntry> entries;
  if (!FitsPath(pattern) || !fileSystem_.FindFiles(pattern, entries)) {
    Report(LinkActivity::Kind::kListingFailed, pattern);
    return -1;
  }
  const std::vector<std::uint8_t> listing = EncodeListing(entries);
  const auto length = static_cast<std::uint32_t>(listing.size());
  if (SendPayload(pattern, listing.data(), length, 0, length)) {
    LinkActivity sent{LinkActivity::Kind::kListingSent, pattern};
    sent.entries = static_cast<std::uint32_t>(entries.size());
    sent.bytes = length;
    Report(sent);
  }
  return static_cast<int>(entries.size());
}

int CLinkServer::SendFile(const char* path) {
  std::vector<FindEntry> found;
  if (!FitsPath(path) || !fileSystem_.FindFiles(path, found) || found.empty()) {
    Report(LinkActivity::Kind::kFileNotFound, path);
    return 0;
  }
  const std::uint64_t size = found.front().size;

  Trace(path);
  // The first piece is read before the echo goes out: a file that cannot be
  // read is answered with the echo alone.
  std::vector<char> piece;
  std::unique_ptr<ReadableFile> file =
      size > kLargestFile ? nullptr : fileSystem_.OpenForReading(path);
  auto remaining = static_cast<std::uint32_t>(std::min(size, kLargestFile));
  const std::uint32_t total = remaining;
  bool readable = file && ReadPiece(*file, piece, std::min(remaining, kFilePiece));
  TraceNumber(readable ? static_cast<long long>(piece.size()) : 0);

  if (!Sent(port_.SendText(kCommandDownload), path, 0)) return 1;
  clock_.Sleep(kEchoPauseMs);
  if (!readable) {
    Report(LinkActivity::Kind::kFileUnreadable, path);
    return 1;
  }
  const std::int64_t started = clock_.NowMs();
  // Only what the file still holds is sent, never more than the size the search found.
  for (;;) {
    const auto length = static_cast<std::uint32_t>(piece.size());
    if (!SendPayload(path, piece.data(), length, total - remaining, total)) return 1;
    remaining -= length;
    const bool fileEnded = piece.size() < kFilePiece;
    if (remaining == 0 || fileEnded || !ReadPiece(*file, piece, std::min(remaining, kFilePiece)) ||
        piece.empty()) {
      LinkActivity sent{LinkActivity::Kind::kFileSent, path};
      sent.bytes = total - remaining;
      sent.elapsedMs = clock_.NowMs() - started;
      Report(sent);
      return 1;
    }
  }
}

}  // namespace ql
