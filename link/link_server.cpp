#include "link/link_server.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "link/trace.h"

namespace ql {
namespace {

// Files are read and sent in pieces of this size, two at a time (one goes
// out while the next is read), so a download costs the same memory whatever
// the file's size.
constexpr std::uint32_t kFilePiece = 1u << 20;
// Payloads go to the port in slices of this size, a multiple of the block
// size, so that progress can be told while a long one goes out: about every
// two seconds at 19200 baud.
constexpr std::uint32_t kProgressSlice = 4 * kBlockSize;
// Upload contents reach the disk in writes of about this size.
constexpr std::size_t kUploadWrite = std::size_t{64} << 10;

// Reads the next piece of `wanted` bytes, fewer at the end of the file.
Status ReadPiece(ReadableFile& file, std::vector<char>& piece, std::uint32_t wanted) {
  piece.resize(wanted);
  file.StartRead(piece.data(), wanted);
  std::uint32_t count = 0;
  const Status read = file.FinishRead(&count);
  piece.resize(read == kSuccess ? count : 0);
  return read;
}

bool IsDriveName(const char* text) {
  return std::isalpha(static_cast<unsigned char>(text[0])) != 0 && text[1] == ':';
}

// What the handheld names is always a drive path ("C:\..."); bytes at another
// speed that arrive in a listing's or a download's state are not.
bool IsDrivePath(const char* text, std::size_t length) { return length >= 2 && IsDriveName(text); }

}  // namespace

CLinkServer::CLinkServer(LinkPort& port, FileSystem& fileSystem, LinkClock& clock)
    : port_(port), fileSystem_(fileSystem), clock_(clock) {}

int CLinkServer::SetStateMachine(char* text) {
  Trace("server setmachine state");
  text[kCommandLength] = 0;
  const std::pair<const char*, LinkState> commands[] = {
      {kCommandList, LINK_LIST}, {kCommandDownload, LINK_SEND}, {kCommandUpload, LINK_UPLOAD_NAME}};
  const auto command =
      std::find_if(std::begin(commands), std::end(commands),
                   [text](const auto& known) { return std::strcmp(text, known.first) == 0; });
  const bool contentsExpected = state_ == LINK_UPLOAD_DATA && !uploadName_.empty();
  if (contentsExpected) {
    if (command == std::end(commands)) {
      // Two bytes are a command on this line, whatever the state.
      Trace("upload of 2 bytes not stored: taken for a command");
      LinkActivity dropped(LinkActivity::Kind::kUploadFailed, uploadDirectory_ + uploadName_);
      dropped.reason = "2 bytes of contents cannot be told from a command";
      dropped.bytes = kCommandLength;
      Report(dropped);
    }
    UseUpUploadName("no name came with it");
  }
  if (command != std::end(commands)) {
    state_ = command->second;
    Report(LinkActivity::Kind::kCommand, command->first);
  } else if (!contentsExpected && !IsDriveName(text)) {
    // A bare drive name ("C:") is a pattern the line cannot tell from a command.
    Report(LinkActivity::Kind::kGarbled, std::string(text, kCommandLength), kCommandLength);
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
      // No search finds what names no drive: the echo alone, as for any
      // pattern that matches nothing, and counted as bytes that make no command.
      if (!IsDrivePath(buffer, length)) {
        Report(LinkActivity::Kind::kGarbled, std::string(buffer, length), length);
        return 1;
      }
      SendFolderContent(buffer);
      return 1;
    case LINK_SEND:
      buffer[length] = 0;
      Trace("sending file");
      if (!IsDrivePath(buffer, length)) {  // no file, as for a path not found
        Report(LinkActivity::Kind::kGarbled, std::string(buffer, length), length);
        return 1;
      }
      SendFile(buffer);
      return 1;
    case LINK_UPLOAD_NAME:
      buffer[length] = 0;
      return TakeUploadName(buffer);
    case LINK_UPLOAD_DATA:
      return StoreUpload(buffer, length);
    default:
      // No exchange is under way: bytes at another speed look like this.
      Report(LinkActivity::Kind::kGarbled, std::string(buffer, length), length);
      return 1;
  }
}

int CLinkServer::TakeUploadName(const char* path) {
  uploadName_ = UploadNameOf(path, fileSystem_.PathCharset());
  std::string refusal;
  if (const char* anywhere = UploadNameRefusal(uploadName_, fileSystem_.PathCharset())) {
    refusal = anywhere;
  } else {
    refusal = fileSystem_.UploadNameProblem(uploadName_);
  }
  if (!refusal.empty()) {
    Trace("upload name refused");
    Trace(path);
    Trace(refusal.c_str());
    LinkActivity refused{LinkActivity::Kind::kUploadNameRefused, uploadDirectory_ + uploadName_};
    refused.reason = refusal;
    Report(refused);
    UseUpUploadName("its name was refused");
  } else {
    Report(LinkActivity::Kind::kUploadNameTaken, uploadDirectory_ + uploadName_);
  }
  state_ = LINK_UPLOAD_DATA;
  clock_.Sleep(kEchoPauseMs);  // the handheld sends the contents after this pause
  return 1;
}

void CLinkServer::UseUpUploadName(const char* why) {
  uploadName_.clear();
  noUploadName_ = why;
}

void CLinkServer::DiscardMessage() {
  if (state_ == LINK_UPLOAD_DATA) UseUpUploadName("no name came with it");
}

void CLinkServer::CutShort(std::uint64_t bytes, Status cause) {
  Trace("message cut short: nothing stored");
  TraceNumber(static_cast<long long>(bytes));
  TraceNumber(cause);
  const bool upload = contents_.active || (state_ == LINK_UPLOAD_DATA && !uploadName_.empty());
  const std::string path = contents_.active ? contents_.path : uploadDirectory_ + uploadName_;
  contents_ = Contents();  // the temporary file goes with it
  if (state_ == LINK_UPLOAD_DATA) UseUpUploadName("no name came with it");
  Report(upload ? LinkActivity::Kind::kUploadCutShort : LinkActivity::Kind::kMessageCutShort,
         upload ? path : std::string(), bytes, cause);
}

void CLinkServer::BeginContents() {
  contents_ = Contents();
  contents_.active = true;
  if (uploadName_.empty()) {
    contents_.refusal = noUploadName_;
    return;
  }
  contents_.path = uploadDirectory_ + uploadName_;
  Trace("upload save");
  Trace(contents_.path.c_str());
  contents_.failure = fileSystem_.CreateUpload(contents_.path, contents_.file);
  if (contents_.failure == kSuccess) {
    TraceNumber(contents_.file->TraceId());
    contents_.pending.reserve(kUploadWrite);
  }
}

bool CLinkServer::FlushContents() {
  if (!contents_.file) return false;
  const Status written =
      contents_.pending.empty()
          ? kSuccess
          : contents_.file->Write(contents_.pending.data(), contents_.pending.size());
  contents_.pending.clear();
  if (written == kSuccess) return true;
  contents_.failure = written;
  contents_.file.reset();  // nothing half-written stays behind
  return false;
}

void CLinkServer::AddContents(const char* data, std::size_t length) {
  contents_.bytes += length;
  if (!contents_.file) return;  // dropped already; the rest is only counted
  if (contents_.bytes > kLargestFile) {
    contents_.refusal = "larger than the 4 GiB a file may have";
    contents_.file.reset();
    contents_.pending = std::vector<char>();
    return;
  }
  while (length > 0) {
    const std::size_t room = kUploadWrite - contents_.pending.size();
    const std::size_t taken = std::min(room, length);
    contents_.pending.insert(contents_.pending.end(), data, data + taken);
    data += taken;
    length -= taken;
    if (contents_.pending.size() == kUploadWrite && !FlushContents()) return;
  }
}

bool CLinkServer::EndContents() {
  FlushContents();
  Contents upload = std::move(contents_);
  contents_ = Contents();
  // Only an upload that met no failure on its way still has its file.
  if (upload.file) upload.failure = upload.file->Commit();
  const bool stored = upload.file && upload.failure == kSuccess;
  upload.file.reset();
  UseUpUploadName("no new name came with it: the last one served its upload");

  if (stored) {
    Trace("ulozit");
    Trace(UploadNameOf(upload.path, fileSystem_.PathCharset()).c_str());
    Report(LinkActivity::Kind::kUploadStored, upload.path, upload.bytes);
    return true;
  }
  Trace("upload not stored");
  Trace(upload.path.c_str());
  TraceNumber(upload.failure);
  LinkActivity failed(LinkActivity::Kind::kUploadFailed, upload.path);
  failed.reason = upload.refusal;
  failed.status = upload.failure;
  failed.bytes = upload.bytes;
  Report(failed);
  return false;
}

int CLinkServer::StoreUpload(const char* data, std::size_t length) {
  BeginContents();
  AddContents(data, length);
  return EndContents() ? 1 : 0;
}

void CLinkServer::ReportTooLong(LinkActivity::Kind kind, const std::string& path) const {
  LinkActivity tooLong(kind, path);
  tooLong.reason = "longer than a Windows path may be";
  Report(tooLong);
}

void CLinkServer::Report(LinkActivity::Kind kind, const std::string& text, std::uint64_t bytes,
                         Status status) const {
  LinkActivity activity{kind, text};
  activity.bytes = bytes;
  activity.status = status;
  Report(activity);
}

bool CLinkServer::Sent(Status status, const std::string& subject, std::uint64_t bytesBefore) {
  if (status == kSuccess) return true;
  sendError_ = status;
  // What follows a lost piece would be read by the handheld as the piece itself.
  Trace("transfer ended: the port did not take the bytes");
  TraceNumber(status);
  Report(LinkActivity::Kind::kTransferEnded, subject, bytesBefore, status);
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
  FoundEntries found;
  const std::vector<FindEntry>& entries = found.entries;
  if (!FitsPath(pattern, fileSystem_.PathCharset())) {
    ReportTooLong(LinkActivity::Kind::kListingFailed, pattern);
    return -1;
  }
  const Status searched = fileSystem_.FindFiles(pattern, found);
  if (searched != kSuccess) {
    Report(LinkActivity::Kind::kListingFailed, pattern, 0, searched);
    return -1;
  }
  const std::vector<std::uint8_t> listing = EncodeListing(entries);
  const auto length = static_cast<std::uint32_t>(listing.size());
  if (SendPayload(pattern, listing.data(), length, 0, length)) {
    LinkActivity sent{LinkActivity::Kind::kListingSent, pattern};
    sent.entries = static_cast<std::uint32_t>(entries.size());
    sent.leftOut = found.leftOut;
    sent.bytes = length;
    Report(sent);
  }
  return static_cast<int>(entries.size());
}

// The path of one entry that a search found: the search's folder part and the
// entry's own name, so that a wildcard never picks the file that is read.
std::string CLinkServer::EntryPath(const std::string& search, const std::string& name) const {
  const std::size_t separator = FindLastSeparator(search, fileSystem_.PathCharset());
  const std::size_t folder = separator == std::string::npos ? 2 : separator + 1;
  return search.substr(0, std::min(folder, search.size())) + name;
}

int CLinkServer::SendFile(const char* path) {
  FoundEntries found;
  if (!FitsPath(path, fileSystem_.PathCharset())) {
    ReportTooLong(LinkActivity::Kind::kFileNotFound, path);
    return 0;
  }
  const Status search = fileSystem_.FindFiles(path, found);
  if (search != kSuccess || found.entries.empty()) {
    Report(LinkActivity::Kind::kFileNotFound, path, 0, search);
    return 0;
  }

  Trace(path);
  // The one file found is opened by its own name, and its size is the open
  // file's. The first piece is read before the echo goes out: a file that
  // cannot be read is answered with the echo alone.
  std::unique_ptr<ReadableFile> file;
  FileStamp opened;
  Status read = fileSystem_.OpenForReading(EntryPath(path, found.entries.front().name), file);
  if (read == kSuccess) read = file->Stat(opened);
  const bool fits = opened.size <= kLargestFile;
  const std::uint32_t total = fits ? static_cast<std::uint32_t>(opened.size) : 0;
  std::vector<char> piece;
  if (fits && read == kSuccess) read = ReadPiece(*file, piece, std::min(total, kFilePiece));
  TraceNumber(static_cast<long long>(piece.size()));

  if (!Sent(port_.SendText(kCommandDownload), path, 0)) return 1;
  clock_.Sleep(kEchoPauseMs);
  if (!fits || read != kSuccess) {
    LinkActivity unreadable(LinkActivity::Kind::kFileUnreadable, path);
    unreadable.status = read;
    if (read == kSuccess) unreadable.reason = "4 GiB or larger: the link carries 32-bit sizes";
    Report(unreadable);
    return 1;
  }
  const std::int64_t started = clock_.NowMs();
  std::uint32_t sent = 0;
  std::vector<char> next;
  // Only what the file holds is sent, never more than its size when opened.
  for (;;) {
    const auto length = static_cast<std::uint32_t>(piece.size());
    const std::uint32_t wanted = std::min(total - sent - length, kFilePiece);
    // A short piece is the end of the file.
    const bool more = wanted > 0 && length == std::min(total - sent, kFilePiece);
    if (more) {
      next.resize(wanted);
      file->StartRead(next.data(), wanted);
    }
    const bool delivered = SendPayload(path, piece.data(), length, sent, total);
    std::uint32_t count = 0;
    // The read under way writes into `next`: it ends before anything else happens.
    if (more) read = file->FinishRead(&count);
    if (!delivered) return 1;
    sent += length;
    if (more && read != kSuccess) {
      Trace("sending stopped: the file could not be read");
      TraceNumber(read);
      Report(LinkActivity::Kind::kFileReadFailed, path, sent, read);
      return 1;
    }
    if (!more || count == 0) break;
    next.resize(count);
    piece.swap(next);
  }
  // "sent" only for the whole file as it was opened.
  FileStamp now;
  const bool unchanged = sent == total && file->Stat(now) == kSuccess && now == opened;
  LinkActivity done{unchanged ? LinkActivity::Kind::kFileSent : LinkActivity::Kind::kFileChanged,
                    path};
  done.bytes = sent;
  done.elapsedMs = clock_.NowMs() - started;
  Report(done);
  return 1;
}

}  // namespace ql
