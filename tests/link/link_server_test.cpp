#include "link/link_server.h"

#include <gtest/gtest.h>

#include "link/speed_hint.h"
#include "tests/link/link_fakes.h"

namespace ql::testing {
namespace {

// What the handheld receives: payload writes back to back are one message.
std::vector<PortWrite> Replies(const LinkHarness& link) {
  std::vector<PortWrite> replies;
  for (const PortWrite& w : link.port.writes) {
    if (w.kind == PortWrite::kDiscard) continue;
    if (w.kind == PortWrite::kBlocks && !replies.empty() &&
        replies.back().kind == PortWrite::kBlocks && replies.back().atMs == w.atMs) {
      replies.back().bytes += w.bytes;
    } else {
      replies.push_back(w);
    }
  }
  return replies;
}

TEST(Listing, EchoThenPauseThenRecords) {
  LinkHarness link;
  link.files.files["C:\\dir\\a.txt"].contents = "12345";
  link.Request("@@", "C:\\dir\\*");

  const auto replies = Replies(link);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].kind, PortWrite::kText);
  EXPECT_EQ(replies[0].bytes, "@@");
  EXPECT_EQ(replies[1].kind, PortWrite::kBlocks);
  EXPECT_EQ(replies[1].atMs - replies[0].atMs, kEchoPauseMs);
  ASSERT_EQ(replies[1].bytes.size(), 297u);
  EXPECT_EQ(replies[1].bytes[0], 1);
  EXPECT_STREQ(replies[1].bytes.c_str() + 1 + 36, "a.txt");
  EXPECT_EQ(link.server->state(), LINK_LIST);
}

TEST(Listing, FailedSearchLongPatternAndRepeats) {
  LinkHarness link;
  link.Request("@@", "C:\\nothing\\*");
  EXPECT_EQ(link.port.Sent(), "@@");

  link.port.writes.clear();
  link.files.files["C:\\x"].contents = "x";
  link.port.Arrive(link.clock.now, "C:\\x");
  link.port.Arrive(link.clock.now + 1000, "C:\\" + std::string(300, 'x'));
  link.RunUntilIdle();
  // Each data message under the same command gets its own echo.
  const auto replies = Replies(link);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].bytes, "@@");
  EXPECT_EQ(replies[1].bytes.size(), 297u);
  EXPECT_EQ(replies[2].bytes, "@@");
}

TEST(Listing, ThousandsOfEntriesAreAllSent) {
  LinkHarness link;
  for (int i = 0; i < 1200; ++i) link.files.files["C:\\big\\" + std::to_string(i)].contents = "";
  link.Request("@@", "C:\\big\\*");
  const auto replies = Replies(link);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[1].bytes.size(), 1 + 296u * 1200);
  EXPECT_EQ(static_cast<std::uint8_t>(replies[1].bytes[0]), 1200 % 256);
}

TEST(Download, EchoThenPauseThenContents) {
  LinkHarness link;
  std::string contents(3000, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7);
  link.files.files["C:\\f.bin"].contents = contents;
  link.Request("@&", "C:\\f.bin");

  const auto replies = Replies(link);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].bytes, "@&");
  EXPECT_EQ(replies[1].atMs - replies[0].atMs, kEchoPauseMs);
  EXPECT_EQ(replies[1].bytes, contents);
  EXPECT_TRUE(link.Traced("3000"));
  EXPECT_EQ(link.server->state(), LINK_SEND);
}

TEST(Download, MissingEmptyAndUnreadableFiles) {
  LinkHarness link;
  link.Request("@&", "C:\\missing");
  EXPECT_EQ(link.port.Sent(), "") << "a missing file gets no bytes at all";

  link.files.files["C:\\empty"].contents = "";
  link.port.Arrive(link.clock.now, "C:\\empty");
  link.RunUntilIdle();
  EXPECT_EQ(link.port.Sent(), "@&");

  link.port.writes.clear();
  link.files.files["C:\\locked"] = {"secret", true};
  link.port.Arrive(link.clock.now, "C:\\locked");
  link.RunUntilIdle();
  EXPECT_EQ(link.port.Sent(), "@&") << "an unreadable file gets the echo alone";

  link.port.writes.clear();
  link.port.Arrive(link.clock.now, "C:\\" + std::string(300, 'x'));
  link.files.files["C:\\" + std::string(300, 'x')].contents = "too far";
  link.RunUntilIdle();
  EXPECT_EQ(link.port.Sent(), "") << "a path longer than 259 characters is not found";
}

TEST(Download, SendsWhatTheFileHoldsUpToItsSizeWhenOpenedAndSaysWhenItChanged) {
  LinkHarness link;
  std::vector<LinkActivity::Kind> outcomes;
  link.server->SetActivitySink([&](const LinkActivity& a) {
    if (a.kind == LinkActivity::Kind::kFileSent || a.kind == LinkActivity::Kind::kFileChanged ||
        a.kind == LinkActivity::Kind::kFileUnreadable) {
      outcomes.push_back(a.kind);
    }
  });
  auto& shrunk = link.files.files["C:\\shrunk"];
  shrunk.contents = std::string(3000, 's');
  shrunk.reportedSize = 5000;
  link.Request("@&", "C:\\shrunk");
  EXPECT_EQ(link.port.Sent(), "@&" + std::string(3000, 's'));

  link.port.writes.clear();
  auto& grown = link.files.files["C:\\grown"];
  grown.contents = std::string(3000, 'g');
  grown.reportedSize = 100;
  link.port.Arrive(link.clock.now, "C:\\grown");
  link.RunUntilIdle();
  EXPECT_EQ(link.port.Sent(), "@&" + std::string(100, 'g'));

  link.port.writes.clear();
  auto& huge = link.files.files["C:\\huge"];
  huge.contents = "h";
  huge.reportedSize = std::uint64_t{1} << 32;
  link.port.Arrive(link.clock.now, "C:\\huge");
  link.RunUntilIdle();
  EXPECT_EQ(link.port.Sent(), "@&") << "4 GiB and more cannot be sent";
  using K = LinkActivity::Kind;
  EXPECT_EQ(outcomes, (std::vector<K>{K::kFileChanged, K::kFileChanged, K::kFileUnreadable}));
}

TEST(Download, LargeFilesGoOutInPiecesWithTheSameBytes) {
  LinkHarness link;
  std::string contents(2'500'000, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i % 251);
  link.files.files["C:\\large"].contents = contents;
  link.Request("@&", "C:\\large");
  EXPECT_EQ(link.port.Sent(), "@&" + contents);
  for (const PortWrite& w : link.port.writes) EXPECT_LE(w.bytes.size(), 1u << 20);
}

TEST(Upload, StoresUnderTheLastPathComponentAndNeverOverwrites) {
  LinkHarness link;
  link.Request("&&", "\\My Documents\\notes.txt");
  EXPECT_EQ(link.server->state(), LINK_UPLOAD_DATA);
  EXPECT_EQ(link.server->uploadName(), "notes.txt");
  const std::int64_t nameTaken = link.clock.now;
  link.port.Arrive(nameTaken, "first contents");
  link.RunUntilIdle();
  EXPECT_EQ(link.files.files["C:\\notes.txt"].contents, "first contents");
  EXPECT_TRUE(link.Traced("upload save"));
  EXPECT_TRUE(link.Traced("C:\\notes.txt"));
  EXPECT_TRUE(link.Traced("ulozit"));
  EXPECT_TRUE(link.port.Sent().empty()) << "uploads are never answered";

  link.port.Arrive(link.clock.now, "second contents");
  link.RunUntilIdle();
  EXPECT_EQ(link.files.files["C:\\notes.txt"].contents, "first contents");
  EXPECT_EQ(link.server->state(), LINK_UPLOAD_DATA);

  for (const std::string name : {"plain.txt", "unix/style.txt"}) {
    link.Request("&&", name);
    link.port.Arrive(link.clock.now, name.substr(0, 5));
    link.RunUntilIdle();
  }
  EXPECT_EQ(link.files.files["C:\\plain.txt"].contents, "plain");
  EXPECT_EQ(link.files.files["C:\\style.txt"].contents, "unix/");
}

TEST(Upload, PausesAfterTakingTheName) {
  LinkHarness link;
  link.server->SetStateMachine(std::string("&&\0", 3).data());
  std::string name = "x.txt";
  const std::int64_t before = link.clock.now;
  EXPECT_EQ(link.server->ProcessStateMachine(name.data(), name.size()), 1);
  EXPECT_EQ(link.clock.now - before, kEchoPauseMs);
}

TEST(Upload, UnsafeNamesCreateNothing) {
  for (const std::string& name : std::vector<std::string>{"..",
                                                          ".",
                                                          "",
                                                          "C:x",
                                                          "x:stream",
                                                          "CON",
                                                          "nul.txt",
                                                          "COM1",
                                                          "lpt9.log",
                                                          "trailing.",
                                                          "trailing ",
                                                          "tab\there",
                                                          "a/../../x/",
                                                          std::string(300, 'n'),
                                                          "*.txt",
                                                          "a<b>.txt",
                                                          "pipe|q\".txt",
                                                          "what?",
                                                          "CONIN$",
                                                          "conout$.log",
                                                          "COM\xB9"}) {
    LinkHarness link;
    link.Request("&&", "\\dir\\" + name);
    link.port.Arrive(link.clock.now, "payload");
    link.RunUntilIdle();
    EXPECT_TRUE(link.files.files.empty()) << "name: " << name;
  }
}

TEST(Upload, RefusedNameIsTracedWithItsReasonAndControlsEscaped) {
  LinkHarness link;
  link.Request("&&", "\x1b]0;owned\a.txt");
  EXPECT_TRUE(link.Traced("upload name refused"));
  EXPECT_TRUE(link.Traced("\\x1b]0;owned\\x07.txt"));
  EXPECT_TRUE(link.Traced("a character Windows does not allow in names"));
}

TEST(Upload, AnUploadNameServesOneUpload) {
  LinkHarness link;
  std::vector<LinkActivity> told;
  link.server->SetActivitySink([&](const LinkActivity& a) {
    if (a.kind != LinkActivity::Kind::kReceiving) told.push_back(a);
  });
  link.Request("&&", "victim.txt");
  link.Send(std::string(200, 'x'));  // longer than any message kept in memory: it goes to disk
  EXPECT_EQ(link.files.files["C:\\victim.txt"].contents, std::string(200, 'x'));
  link.files.files.clear();  // the user removes it; stray bytes must not bring it back
  link.Send("stray bytes, no command before them");
  link.Request("&&", "two.txt");
  link.Send("@@");  // two bytes are a command on this line
  EXPECT_TRUE(link.files.files.empty());
  EXPECT_EQ(told.back().kind, LinkActivity::Kind::kCommand);
  const LinkActivity& stray = told[told.size() - 4];
  EXPECT_EQ(stray.kind, LinkActivity::Kind::kUploadFailed);
  EXPECT_EQ(stray.reason, "no new name came with it: the last one served its upload");
  link.Request("&&", "three.txt");
  link.Send("ab");
  EXPECT_EQ(told.back().reason, "2 bytes of contents cannot be told from a command");
}

TEST(Upload, FailedWriteLeavesNoPartialFile) {
  LinkHarness link;
  link.files.writeRoom = 500;
  link.files.writeFailure = 28;  // ENOSPC
  link.Request("&&", "full.bin");
  std::string contents(1000, 'f');
  EXPECT_EQ(link.server->ProcessStateMachine(contents.data(), contents.size()), 0);
  EXPECT_TRUE(link.files.files.empty());
  EXPECT_EQ(link.files.temporaries, 0);
  EXPECT_TRUE(link.Traced("upload not stored"));
  EXPECT_TRUE(link.Traced("28"));
}

TEST(Commands, DataBeforeAnyCommandAndUnknownCommands) {
  LinkHarness link;
  link.files.files["C:\\a"].contents = "a";
  link.port.Arrive(1000, "C:\\a");
  link.RunUntilIdle();
  EXPECT_TRUE(link.port.writes.empty());
  EXPECT_EQ(link.server->state(), LINK_IDLE);

  link.Request("@&", "C:");  // a bare drive name is two bytes: a command
  EXPECT_EQ(link.server->state(), LINK_SEND);
  ASSERT_EQ(link.port.writes.size(), 2u);
  EXPECT_EQ(link.port.writes[1].kind, PortWrite::kDiscard);
  EXPECT_EQ(link.port.Sent(), "");

  link.Request("@@", "C:\\a");
  link.Request("&&", "C:\\a");  // case and order matter: "@@" then "&&" is fine
  EXPECT_EQ(link.server->state(), LINK_UPLOAD_DATA);
}

// Shift-JIS (code page 932): lead bytes 0x81-0x9F and 0xE0-0xFC.
class ShiftJis final : public HandheldCharset {
 public:
  bool IsLeadByte(unsigned char b) const override {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
  }
};

// The hint that the handheld is at another speed: once for each run of
// garble with no exchange completed between; never for right-speed traffic.
TEST(SpeedHint, OnlyForRunsOfGarbleWithNoExchangeBetween) {
  using K = LinkActivity::Kind;
  constexpr K G = K::kGarbled;
  struct Case {
    std::vector<K> kinds;
    int hints;
  };
  for (const Case& c : {
           Case{{G, G}, 0},                               // strays
           Case{{G, G, G}, 1},                            // a run
           Case{{G, G, G, G, G, G, G}, 1},                // told once
           Case{{G, G, K::kListingSent, G, G}, 0},        // an exchange between
           Case{{G, G, G, K::kFileSent, G, G, G}, 2},     // a second run
           Case{{G, K::kCommand, G, K::kCommand, G}, 1},  // a command alone proves nothing
           Case{{K::kListingSent, K::kUploadStored, G}, 0},
       }) {
    SpeedHint hint;
    int hints = 0;
    for (const K kind : c.kinds) hints += hint.Due(LinkActivity(kind)) ? 1 : 0;
    EXPECT_EQ(hints, c.hints) << c.kinds.size();
  }
  // A bare drive name, which the handheld sends as a pattern, is no garble;
  // bytes that name no drive in a listing's or a download's state are.
  for (const char* command : {"@@", "@&"}) {
    LinkHarness link;
    link.files.files["C:\\a"].contents = "a";
    int garbled = 0;
    int hints = 0;
    SpeedHint hint;
    link.server->SetActivitySink([&](const LinkActivity& a) {
      garbled += a.kind == G ? 1 : 0;
      hints += hint.Due(a) ? 1 : 0;
    });
    for (int i = 0; i < 30; ++i) link.Request("@@", "C:");
    EXPECT_EQ(garbled, 0);
    link.Request(command, "C:\\a");  // an exchange that worked
    for (int i = 0; i < 3; ++i) link.Send("\x01\xfe\x80");
    EXPECT_EQ(hints, 1) << command;
    EXPECT_EQ(link.port.Sent().find('\xfe'), std::string::npos) << "nothing of the garble echoed";
  }
}

TEST(UploadNames, OnlyTheLastComponentAndOnlyWhenSafe) {
  const ShiftJis shiftJis;
  struct Case {
    const char* path;
    const char* name;  // empty: refused
    const HandheldCharset& charset;
  };
  const HandheldCharset& western = HandheldCharset::SingleByte();
  for (const Case& c : {
           Case{"C:\\a\\b\\c.txt", "c.txt", western},
           Case{"c.txt", "c.txt", western},
           Case{"x/y.z", "y.z", western},
           Case{"console.txt", "console.txt", western},
           Case{"COM10", "COM10", western},
           Case{"Com3.txt", "", western},
           Case{"aux", "", western},
           Case{"dir\\", "", western},
           // Second bytes 0x5C and 0x7C are no backslash and no bar in Shift-JIS.
           Case{"C:\\d\\\x95\x5C.txt", "\x95\x5C.txt", shiftJis},  // 表.txt
           Case{"\x83\x5C\x83\x74\x83\x67.txt", "\x83\x5C\x83\x74\x83\x67.txt",
                shiftJis},                                                  // ソフト
           Case{"\x83\x7C\x83\x43.txt", "\x83\x7C\x83\x43.txt", shiftJis},  // ポイ
           Case{"\x95\x5C", "\x95\x5C", shiftJis},                          // ends in 0x5C
           Case{"\x95\x5C.txt", ".txt",
                western},  // the same bytes, single-byte: a folder and a name
           Case{"a|b", "", shiftJis},
       }) {
    const std::string name = UploadNameOf(c.path, c.charset);
    const bool refused = UploadNameRefusal(name, c.charset) != nullptr;
    EXPECT_EQ(refused ? std::string() : name, c.name) << c.path;
  }
  // Lengths are characters: 129 double-byte characters fit in C:\ (3 + 129 + 4 = 136 <= 259).
  std::string longName;
  for (int i = 0; i < 129; ++i) longName += "\x95\x5C";
  EXPECT_EQ(UploadNameRefusal(longName + ".txt", shiftJis), nullptr);
  EXPECT_STREQ(UploadNameRefusal(longName + ".txt", western),
               "a character Windows does not allow in names");
  EXPECT_TRUE(FitsPath("C:\\" + longName, shiftJis));
  EXPECT_FALSE(FitsPath("C:\\" + longName + longName, shiftJis));
}

TEST(Activity, EachExchangeIsToldWithItsOutcome) {
  LinkHarness link;
  std::vector<LinkActivity> told;
  link.server->SetActivitySink([&](const LinkActivity& a) {
    if (a.kind != LinkActivity::Kind::kReceiving) told.push_back(a);
  });
  link.files.files["C:\\d\\a.bin"].contents = std::string(10000, 'a');
  link.files.files["C:\\d\\bad"] = {"x", /*readFailure=*/13};
  link.Request("@@", "C:\\d\\*");
  link.Send("C:\\none\\*");
  link.Request("@&", "C:\\d\\a.bin");
  link.Send("C:\\d\\bad");
  link.Send("C:\\d\\missing");
  link.Request("&&", "C:\\d\\new.txt");
  link.Send("hello");
  link.Send("again");
  link.Request("&&", "CON");
  link.port.stallAfterBytes = link.port.Sent().size() + 5000;
  link.Request("@&", "C:\\d\\a.bin");

  using K = LinkActivity::Kind;
  std::vector<K> kinds;
  std::uint64_t lastProgress = 0;
  for (const LinkActivity& a : told) {
    if (a.kind == K::kSending) {
      EXPECT_GT(a.bytes, lastProgress % a.total) << "progress only grows within a payload";
      EXPECT_LE(a.bytes, a.total);
      lastProgress = a.bytes;
    } else {
      kinds.push_back(a.kind);
    }
  }
  EXPECT_EQ(kinds,
            (std::vector<K>{K::kCommand, K::kListingSent, K::kListingFailed, K::kCommand,
                            K::kFileSent, K::kFileUnreadable, K::kFileNotFound, K::kCommand,
                            K::kUploadNameTaken, K::kUploadStored, K::kUploadFailed, K::kCommand,
                            K::kUploadNameRefused, K::kCommand, K::kTransferEnded}));
  const auto find = [&](K kind) {
    return *std::find_if(told.begin(), told.end(), [&](const auto& a) { return a.kind == kind; });
  };
  EXPECT_EQ(find(K::kListingSent).entries, 2u);
  EXPECT_EQ(find(K::kFileSent).bytes, 10000u);
  EXPECT_EQ(find(K::kUploadStored).text, "C:\\new.txt");
  EXPECT_EQ(find(K::kUploadNameRefused).reason, "a device name");
  EXPECT_EQ(find(K::kFileUnreadable).status, 13);
  EXPECT_EQ(find(K::kTransferEnded).status, 1460);
  EXPECT_LT(find(K::kTransferEnded).bytes, 10000u) << "the rest is not sent into a stalled line";
  EXPECT_LT(link.port.Sent().size(), link.port.stallAfterBytes + 10000);
}

}  // namespace
}  // namespace ql::testing
