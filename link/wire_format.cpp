#include "link/wire_format.h"

#include <algorithm>
#include <cstring>

namespace ql {
namespace {

void Put32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t Get32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

void PutTime(std::uint8_t* at, std::uint64_t filetime) {
  Put32(at, static_cast<std::uint32_t>(filetime));
  Put32(at + 4, static_cast<std::uint32_t>(filetime >> 32));
}

std::uint64_t GetTime(const std::uint8_t* at) {
  return static_cast<std::uint64_t>(Get32(at + 4)) << 32 | Get32(at);
}

// Field offsets of a listing record.
constexpr std::size_t kAttributesAt = 0;
constexpr std::size_t kCreationAt = 4;
constexpr std::size_t kLastAccessAt = 12;
constexpr std::size_t kLastWriteAt = 20;
constexpr std::size_t kSizeHighAt = 28;  // the high half comes first
constexpr std::size_t kSizeLowAt = 32;
constexpr std::size_t kNameAt = 36;

}  // namespace

void EncodeListingRecord(const FindEntry& entry, std::uint8_t* record) {
  Put32(record + kAttributesAt, entry.attributes);
  PutTime(record + kCreationAt, entry.creationTime);
  PutTime(record + kLastAccessAt, entry.lastAccessTime);
  PutTime(record + kLastWriteAt, entry.lastWriteTime);
  Put32(record + kSizeHighAt, static_cast<std::uint32_t>(entry.size >> 32));
  Put32(record + kSizeLowAt, static_cast<std::uint32_t>(entry.size));
  const std::size_t nameLength = std::min(entry.name.size(), kNameFieldSize - 1);
  std::memcpy(record + kNameAt, entry.name.data(), nameLength);
  record[kNameAt + nameLength] = 0;
}

FindEntry DecodeListingRecord(const std::uint8_t* record) {
  FindEntry entry;
  entry.attributes = Get32(record + kAttributesAt);
  entry.creationTime = GetTime(record + kCreationAt);
  entry.lastAccessTime = GetTime(record + kLastAccessAt);
  entry.lastWriteTime = GetTime(record + kLastWriteAt);
  entry.size =
      static_cast<std::uint64_t>(Get32(record + kSizeHighAt)) << 32 | Get32(record + kSizeLowAt);
  const auto* name = reinterpret_cast<const char*>(record + kNameAt);
  entry.name.assign(name, strnlen(name, kNameFieldSize));
  return entry;
}

std::vector<std::uint8_t> EncodeListing(const std::vector<FindEntry>& entries) {
  std::vector<std::uint8_t> listing(1 + kListingRecordSize * entries.size());
  listing[0] = static_cast<std::uint8_t>(entries.size());  // only the count byte wraps
  std::uint8_t* record = listing.data() + 1;
  for (const FindEntry& entry : entries) {
    EncodeListingRecord(entry, record);
    record += kListingRecordSize;
  }
  return listing;
}

bool DecodeListing(const std::uint8_t* message, std::size_t length,
                   std::vector<FindEntry>& entries) {
  entries.clear();
  if (length == 0 || (length - 1) % kListingRecordSize != 0) return false;
  const std::size_t count = (length - 1) / kListingRecordSize;
  if (static_cast<std::uint8_t>(count) != message[0]) return false;
  entries.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    entries.push_back(DecodeListingRecord(message + 1 + i * kListingRecordSize));
  }
  return true;
}

}  // namespace ql
