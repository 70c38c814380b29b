#include "link/link_receiver.h"

#include <gtest/gtest.h>

#include "tests/link/link_fakes.h"

namespace ql::testing {
namespace {

TEST(Gathering, NotificationWithoutBytesDoesNothing) {
  LinkHarness link;
  EXPECT_EQ(link.receiver->GatherMessage(), 0u);
  link.receiver->OnSerialEvent(1, 0);
  EXPECT_EQ(link.receiver->receiveCount(), 0u);
  EXPECT_TRUE(link.port.writes.empty());
  EXPECT_TRUE(link.trace.empty());
}

TEST(Gathering, LengthTellsCommandFromData) {
  LinkHarness link;
  link.port.Arrive(1000, "@@");
  link.RunUntilIdle();
  EXPECT_EQ(link.server->state(), LINK_LIST);
  ASSERT_EQ(link.port.writes.size(), 1u);
  EXPECT_EQ(link.port.writes[0].kind, PortWrite::kDiscard);
  EXPECT_EQ(link.trace,
            (std::vector<std::string>{"comtest", "2", "bytes 40 40", "server setmachine state"}));

  link.trace.clear();
  link.port.Arrive(2000, "C:\\");
  link.RunUntilIdle();
  EXPECT_EQ(link.trace[1], "3");
  EXPECT_TRUE(link.Traced("server processtmachine state"));
  EXPECT_EQ(link.receiver->receiveCount(), 0u);
}

TEST(Gathering, BurstsCloserThanTheQuietIntervalMakeOneMessage) {
  LinkHarness link;
  link.port.Stream(1000, std::string(5000, 'a'), 50);  // 100 slices, 1 ms apart
  link.port.Arrive(1100 + 214, "b");                   // just inside the quiet interval
  link.RunUntilIdle();
  EXPECT_TRUE(link.Traced("5001"));
  EXPECT_FALSE(link.Traced("5000"));
}

TEST(Gathering, QuietIntervalEndsTheMessageWithoutUndueDelay) {
  LinkHarness link;
  link.port.Arrive(1000, "first");
  link.port.Arrive(1000 + 216, "second");
  std::int64_t deliveredAt = 0;
  link.receiver->GatherMessage();
  deliveredAt = link.clock.now;
  EXPECT_EQ(link.receiver->receiveCount(), 5u);
  EXPECT_GE(deliveredAt, 1000 + kQuietIntervalMs);
  EXPECT_LE(deliveredAt, 1000 + kQuietIntervalMs + MessageGatherer::kPollIntervalMs);
}

TEST(Gathering, KeepsUpWithA115200BaudLine) {
  // 11.52 bytes per millisecond into a 2048-byte driver queue: a reader that
  // sleeps 215 ms between reads would lose most of it.
  LinkHarness link;
  link.port.queueCapacity = 2048;
  const std::string upload(40000, 'u');
  link.port.Stream(1000, upload, 12);
  ASSERT_GT(link.receiver->GatherMessage(), 0u);
  EXPECT_EQ(link.port.lostBytes, 0u);
  EXPECT_EQ(link.receiver->receiveCount(), upload.size());
}

TEST(Gathering, ReadErrorThrowsAwayWhatCameAndTheNextMessageStandsAlone) {
  LinkHarness link;
  link.port.Arrive(1000, std::string(100, 'p'));
  link.port.FailReadAfter(1);
  EXPECT_EQ(link.receiver->GatherMessage(), 0u);
  EXPECT_TRUE(link.Traced("Unable to read from COM-port."));
  EXPECT_EQ(link.receiver->receiveCount(), 0u);

  link.port.Arrive(2000, "@@");  // a command, not the 102nd byte of a message
  link.RunUntilIdle();
  EXPECT_EQ(link.server->state(), LINK_LIST);
}

TEST(Gathering, ServeArrivalTellsWhichCallFailed) {
  LinkHarness link;
  link.files.files["C:\\f.bin"].contents = std::string(20000, 'f');
  link.port.stallAfterBytes = 5000;
  link.port.Arrive(1000, "@&");
  CLinkReceiver::Served served = link.receiver->ServeArrival();
  EXPECT_EQ(served.readError, kSuccess);
  EXPECT_EQ(served.sendError, kSuccess);

  link.clock.now += 300;
  link.port.Arrive(link.clock.now, "C:\\f.bin");
  served = link.receiver->ServeArrival();
  EXPECT_EQ(served.sendError, 1460) << "the stalled payload's status";

  link.port.FailReadAfter(0);
  served = link.receiver->ServeArrival();
  EXPECT_EQ(served.readError, 5);
  EXPECT_EQ(served.sendError, kSuccess);
}

TEST(Gathering, OverlongMessageIsDiscardedWholeAndTheNextOneServed) {
  LinkHarness link;
  link.receiver = std::make_unique<CLinkReceiver>(link.port, *link.server, link.clock, 4096);
  link.port.Arrive(1000, "@&");
  link.port.Stream(2000, std::string(5000, 'z'), 1000);
  link.port.Arrive(3000, "@@");
  link.RunUntilIdle();
  EXPECT_TRUE(link.Traced("Message of 5000 bytes is too long and was discarded."));
  EXPECT_FALSE(link.Traced("5000"));
  EXPECT_FALSE(link.Traced("sending file"));
  EXPECT_EQ(link.server->state(), LINK_LIST);
  EXPECT_EQ(link.receiver->receiveCount(), 0u);
}

TEST(Gathering, MessageJustBelowTheLimitIsKept) {
  LinkHarness link;
  link.receiver = std::make_unique<CLinkReceiver>(link.port, *link.server, link.clock, 4096);
  link.port.Stream(1000, std::string(4096, 'k'), 1000);
  EXPECT_EQ(link.receiver->GatherMessage(), 4096u);
  EXPECT_EQ(link.receiver->receiveBuffer()[4096], 0);
}

TEST(Gathering, NonZeroTagIsNotServed) {
  LinkHarness link;
  link.port.Arrive(1000, "@@");
  link.receiver->OnSerialEvent(1, 7);
  EXPECT_EQ(link.server->state(), LINK_IDLE);
  EXPECT_FALSE(link.Traced("comtest"));
}

}  // namespace
}  // namespace ql::testing
