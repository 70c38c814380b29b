// Every exchange meets the faults a real desk has: a pulled cable, a stop, a
// disk that refuses, fills up or fails a read. Whatever happens, no file
// appears that was not received whole, no existing file changes, the cause
// is told, and the next request is answered.
#include <gtest/gtest.h>

#include <functional>

#include "tests/link/link_fakes.h"

namespace ql::testing {
namespace {

using Kind = LinkActivity::Kind;

// The systems' codes the faults carry; the core passes them on untouched.
constexpr Status kIoError = 5;
constexpr Status kAccessDenied = 13;
constexpr Status kExists = 17;
constexpr Status kDiskFull = 28;
constexpr Status kStopped = 125;
constexpr Status kStalled = 1460;

const std::string kContents(6000, 'u');  // arrives in about 60 ms

// A command, then its text arriving a byte a millisecond; the line is lost in the text.
void TextCutShort(LinkHarness& link, const char* command, const std::string& text, Status cause) {
  link.port.Arrive(link.clock.now, command);
  link.port.Stream(link.clock.now + 300, text, 1);
  link.port.LoseLineAt(link.clock.now + 303, cause);
  link.RunUntilIdle();
}

// An upload whose contents are lost `lostAfterMs` into them (never when negative).
void Upload(LinkHarness& link, const std::string& name, std::int64_t lostAfterMs = -1,
            Status cause = kSuccess) {
  link.Request("&&", "C:\\up\\" + name);
  link.port.Stream(link.clock.now, kContents, 100);
  if (lostAfterMs >= 0) link.port.LoseLineAt(link.clock.now + lostAfterMs, cause);
  link.RunUntilIdle();
}

struct Fault {
  const char* name;
  std::function<void(LinkHarness&)> run;
  Kind told;
  Status cause;
};

TEST(Faults, NothingHalfDoneNothingChangedTheCauseToldAndTheLinkGoesOn) {
  const Fault faults[] = {
      {"listing: line lost in the pattern",
       [](LinkHarness& l) { TextCutShort(l, "@@", "C:\\d\\*", kIoError); }, Kind::kMessageCutShort,
       kIoError},
      {"download: stopped in the path",
       [](LinkHarness& l) { TextCutShort(l, "@&", "C:\\d\\a.bin", kStopped); },
       Kind::kMessageCutShort, kStopped},
      {"upload: line lost in the name",
       [](LinkHarness& l) { TextCutShort(l, "&&", "C:\\memo.txt", kIoError); },
       Kind::kMessageCutShort, kIoError},
      {"upload: line lost in the contents",
       [](LinkHarness& l) { Upload(l, "memo.txt", 25, kIoError); }, Kind::kUploadCutShort,
       kIoError},
      {"upload: stopped in the contents",
       [](LinkHarness& l) { Upload(l, "memo.txt", 25, kStopped); }, Kind::kUploadCutShort,
       kStopped},
      {"upload: create refused",
       [](LinkHarness& l) {
         l.files.createFailure = kAccessDenied;
         Upload(l, "memo.txt");
       },
       Kind::kUploadFailed, kAccessDenied},
      {"upload: disk full",
       [](LinkHarness& l) {
         l.files.writeRoom = kContents.size() / 2;
         l.files.writeFailure = kDiskFull;
         Upload(l, "memo.txt");
       },
       Kind::kUploadFailed, kDiskFull},
      {"upload: rename refused",
       [](LinkHarness& l) {
         l.files.commitFailure = kAccessDenied;
         Upload(l, "memo.txt");
       },
       Kind::kUploadFailed, kAccessDenied},
      {"upload: the name exists", [](LinkHarness& l) { Upload(l, "old.txt"); }, Kind::kUploadFailed,
       kExists},
      {"download: line stalls in the payload",
       [](LinkHarness& l) {
         l.port.stallAfterBytes = 3000;
         l.Request("@&", "C:\\d\\a.bin");
       },
       Kind::kTransferEnded, kStalled},
      {"download: stopped in the echo pause",
       [](LinkHarness& l) {
         l.port.stallAfterBytes = 2;
         l.port.stallStatus = kStopped;
         l.Request("@&", "C:\\d\\a.bin");
       },
       Kind::kTransferEnded, kStopped},
      {"download: the file cannot be opened",
       [](LinkHarness& l) {
         l.files.files["C:\\d\\a.bin"].readFailure = kAccessDenied;
         l.Request("@&", "C:\\d\\a.bin");
       },
       Kind::kFileUnreadable, kAccessDenied},
      {"download: the disk fails a read in the payload",
       [](LinkHarness& l) {
         MemoryFileSystem::File& big = l.files.files["C:\\d\\big.bin"];
         big.contents.assign((3u << 20) / 2, 'b');  // two pieces
         big.readFailsAfter = 1u << 20;
         big.readFailure = kIoError;
         l.Request("@&", "C:\\d\\big.bin");
       },
       Kind::kFileReadFailed, kIoError},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    LinkHarness link;
    std::vector<LinkActivity> told;
    link.server->SetActivitySink([&](const LinkActivity& a) {
      if (a.kind == fault.told) told.push_back(a);
    });
    link.files.files["C:\\d\\a.bin"].contents = std::string(5000, 'a');
    link.files.files["C:\\old.txt"].contents = "old";
    fault.run(link);
    ASSERT_EQ(told.size(), 1u) << "the outcome is told once";
    EXPECT_EQ(told[0].status, fault.cause);

    // The rest of an upload cut short, sent again without its name, is not stored either.
    link.Send(std::string(700, 'r'));
    EXPECT_EQ(link.files.temporaries, 0) << "nothing half-written stays behind";
    link.files.files.erase("C:\\d\\big.bin");
    EXPECT_EQ(link.files.files.size(), 2u) << "no file appears that did not arrive whole";
    EXPECT_EQ(link.files.files["C:\\d\\a.bin"].contents, std::string(5000, 'a'));
    EXPECT_EQ(link.files.files["C:\\old.txt"].contents, "old");

    link.port.stallAfterBytes = SIZE_MAX;
    link.port.writes.clear();
    link.Request("@@", "C:\\d\\*");
    EXPECT_EQ(link.port.Sent().substr(0, 2), "@@");
    EXPECT_EQ(link.port.Sent().size(), 2u + 1 + kListingRecordSize)
        << "the next request is answered";
  }
}

// The upload that arrives whole is stored whole, in writes of bounded size.
TEST(Faults, AnUploadArrivingWholeIsStoredWholeInBoundedWrites) {
  LinkHarness link;
  link.Request("&&", "C:\\big.bin");
  const std::string contents(300000, 'w');
  link.port.Stream(link.clock.now, contents, 4000);
  link.RunUntilIdle();
  EXPECT_EQ(link.files.files["C:\\big.bin"].contents, contents);
  EXPECT_LE(link.files.largestWrite, std::size_t{64} << 10);
}

}  // namespace
}  // namespace ql::testing
