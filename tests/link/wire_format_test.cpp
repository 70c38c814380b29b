#include "link/wire_format.h"

#include <gtest/gtest.h>

namespace ql {
namespace {

FindEntry SampleEntry() {
  FindEntry entry;
  entry.attributes = 0x20;
  entry.creationTime = 0x0102030405060708ULL;
  entry.lastAccessTime = 0x1112131415161718ULL;
  entry.lastWriteTime = 0x2122232425262728ULL;
  entry.size = 0x0000000500000010ULL;
  entry.name = "hello";
  return entry;
}

TEST(ListingRecord, FieldsAreLittleEndianInTheirPlaces) {
  ListingRecord record;
  record.fill(0xEE);
  EncodeListingRecord(SampleEntry(), record.data());

  const std::uint8_t head[] = {0x20, 0,    0,    0,                             // attributes
                               0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // creation
                               0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11,  // access
                               0x28, 0x27, 0x26, 0x25, 0x24, 0x23, 0x22, 0x21,  // write
                               0x05, 0,    0,    0,                             // size high first
                               0x10, 0,    0,    0,                             // size low
                               'h',  'e',  'l',  'l',  'o',  0};
  for (std::size_t i = 0; i < sizeof head; ++i) EXPECT_EQ(record[i], head[i]) << "offset " << i;
  EXPECT_EQ(record[sizeof head], 0xEE) << "bytes after the terminator are left alone";
}

TEST(ListingRecord, LongNamesAreCutAndStillTerminated) {
  FindEntry entry = SampleEntry();
  entry.name.assign(400, 'x');
  ListingRecord record;
  record.fill(0xEE);
  EncodeListingRecord(entry, record.data());
  EXPECT_EQ(record[36 + 258], 'x');
  EXPECT_EQ(record[36 + 259], 0);
  EXPECT_EQ(DecodeListingRecord(record.data()).name.size(), 259u);
}

TEST(Listing, CountByteWrapsButEveryEntryIsSent) {
  std::vector<FindEntry> entries(300, SampleEntry());
  entries[299].name = "last";
  const std::vector<std::uint8_t> listing = EncodeListing(entries);
  ASSERT_EQ(listing.size(), 1 + 296u * 300);
  EXPECT_EQ(listing[0], 44);

  std::vector<FindEntry> decoded;
  ASSERT_TRUE(DecodeListing(listing.data(), listing.size(), decoded));
  ASSERT_EQ(decoded.size(), 300u);
  EXPECT_EQ(decoded[299].name, "last");
  EXPECT_EQ(decoded[0].size, SampleEntry().size);
  EXPECT_EQ(decoded[0].lastWriteTime, SampleEntry().lastWriteTime);
}

TEST(Listing, TornOrMiscountedMessagesAreRejected) {
  std::vector<std::uint8_t> listing = EncodeListing({SampleEntry(), SampleEntry()});
  std::vector<FindEntry> decoded;
  EXPECT_FALSE(DecodeListing(listing.data(), listing.size() - 1, decoded));
  listing[0] = 3;
  EXPECT_FALSE(DecodeListing(listing.data(), listing.size(), decoded));
  EXPECT_FALSE(DecodeListing(listing.data(), 0, decoded));
  const std::uint8_t empty[] = {0};
  EXPECT_TRUE(DecodeListing(empty, 1, decoded));
  EXPECT_TRUE(decoded.empty());
}

}  // namespace
}  // namespace ql
