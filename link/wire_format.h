// What travels on the serial line: commands, pauses and the folder listing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/handheld_charset.h"

namespace ql {

// Commands are two ASCII characters, compared exactly.
constexpr char kCommandList[] = "@@";      // next message: a search pattern
constexpr char kCommandDownload[] = "@&";  // next message: a file to send
constexpr char kCommandUpload[] = "&&";    // next messages: a file name, then its contents
constexpr std::size_t kCommandLength = 2;

// A message ends when the line has been quiet this long after its last byte.
constexpr int kQuietIntervalMs = 215;
// The handheld expects this pause after an echo and after an upload name.
constexpr int kEchoPauseMs = 500;
// Payloads are handed to the port in writes of at most this many bytes.
constexpr std::uint32_t kBlockSize = 1024;

// The desktop sends files of at most this size: the exchange carries 32-bit sizes.
constexpr std::uint64_t kLargestFile = 0xFFFFFFFFu;

// Windows file attribute bits as they appear in listings.
constexpr std::uint32_t kAttributeReadOnly = 0x01;
constexpr std::uint32_t kAttributeHidden = 0x02;
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::uint32_t kAttributeArchive = 0x20;

// Longest path the handheld's side can name, without the terminating zero.
constexpr std::size_t kMaxPath = 259;
constexpr std::size_t kNameFieldSize = 260;
// Counted in characters, as Windows counts them.
inline bool FitsPath(std::string_view path, const HandheldCharset& charset) {
  return CountChars(path, charset) <= kMaxPath;
}

// Listing times are FILETIMEs: 100 ns units since 1601-01-01 UTC.
constexpr std::uint64_t kFileTimeUnitsPerSecond = 10000000;
// The FILETIME of the unix epoch, 1970-01-01 UTC.
constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ULL;

// One entry of a directory search, as the handheld sees it.
struct FindEntry {
  std::uint32_t attributes = 0;
  std::uint64_t creationTime = 0;
  std::uint64_t lastAccessTime = 0;
  std::uint64_t lastWriteTime = 0;
  std::uint64_t size = 0;
  std::string name;  // in the handheld's code page, at most 259 bytes are sent
};

constexpr std::size_t kListingRecordSize = 296;
using ListingRecord = std::array<std::uint8_t, kListingRecordSize>;

// Field by field, little-endian; the name is cut to 259 bytes and terminated.
void EncodeListingRecord(const FindEntry& entry, std::uint8_t* record);
FindEntry DecodeListingRecord(const std::uint8_t* record);

// A listing: the entry count modulo 256, then one record per entry.
std::vector<std::uint8_t> EncodeListing(const std::vector<FindEntry>& entries);
// Reads the records of a listing message; the count byte only checks the total
// modulo 256. Returns false when the message is not a whole listing.
bool DecodeListing(const std::uint8_t* message, std::size_t length,
                   std::vector<FindEntry>& entries);

}  // namespace ql
