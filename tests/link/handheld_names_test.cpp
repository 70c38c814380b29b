// Names in every code page a handheld uses, through the server and a real
// folder: double-byte characters whose second byte is 0x5C or 0x7C, and
// names that differ only in a second byte, are uploaded, listed, fetched and
// refused as existing, each as itself; random names from either side either
// round-trip exactly or never reach the disk or the handheld.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "fs/posix_file_system.h"
#include "tests/link/link_fakes.h"

namespace ql::testing {
namespace {

namespace stdfs = std::filesystem;

struct Page {
  const char* name;
  std::vector<const char*> names;  // UTF-8; pairs that differ only in a second byte side by side
};

TEST(HandheldNames, EveryNameIsItselfInEveryCodePage) {
  const Page pages[] = {
      {"CP932", {"\u8868.txt", "\u30dd\u30a4\u30f3\u30c8.txt", "\u30a2.txt", "\u30c2.txt"}},
      {"GBK", {"\u4e57.txt", "\u4e85.txt", "\u4e04.txt", "\u4e64.txt"}},
      {"EUC-KR", {"\uac02.txt", "\uac35.txt"}},
      {"BIG5", {"\u8a31.txt", "\u5f0b.txt", "\u4e59.txt", "\u5140.txt"}},
      {"WINDOWS-1252", {"caf\u00e9.txt", "CAF\u00c9-2.txt"}},
  };
  for (const Page& page : pages) {
    SCOPED_TRACE(page.name);
    char base[] = "/tmp/ql-names-XXXXXX";
    const stdfs::path drive = mkdtemp(base);
    std::string error;
    PosixFileSystem files({{'C', drive.string()}}, *CodePage::Open(page.name, error));
    const CodePage& codePage = files.HandheldCodePage();
    LinkHarness link(&files);
    std::vector<LinkActivity> failed;
    link.server->SetActivitySink([&](const LinkActivity& a) {
      if (a.kind == LinkActivity::Kind::kUploadFailed) failed.push_back(a);
    });

    for (const char* host : page.names) {
      const std::string name = codePage.ToHandheld(host);
      link.Request("&&", "C:\\up\\" + name);
      link.Send("contents of " + name);
      std::ifstream stored(drive / host, std::ios::binary);
      std::ostringstream contents;
      contents << stored.rdbuf();
      EXPECT_EQ(contents.str(), "contents of " + name) << host;

      link.port.writes.clear();
      link.Request("@&", "C:\\" + name);
      EXPECT_EQ(link.port.Sent(), "@&contents of " + name) << host;

      link.Request("&&", name);  // the same name again: it exists
      link.Send("other contents");
      ASSERT_EQ(failed.size(), 1u) << host;
      EXPECT_EQ(failed.back().status, EEXIST);
      failed.clear();
    }
    link.port.writes.clear();
    link.Request("@@", "C:\\*.TXT");
    const std::string listing = link.port.Sent();
    ASSERT_EQ(listing.size(), 2 + 1 + kListingRecordSize * page.names.size());
    for (const char* host : page.names) {
      EXPECT_NE(listing.find(codePage.ToHandheld(host) + '\0'), std::string::npos) << host;
    }
    stdfs::remove_all(drive);
  }
}

// Every code page the programs accept, single- and double-byte.
const char* const kEveryPage[] = {"WINDOWS-1252", "CP1250", "CP1251", "CP1253", "CP1254",
                                  "CP1255",       "CP1256", "CP1257", "CP874",  "CP932",
                                  "CP936",        "CP949",  "CP950"};

std::string ReadHost(const stdfs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

// A drive folder served in one code page, with the server on a scripted line.
struct NamesDrive {
  explicit NamesDrive(const char* page)
      : folder(mkdtemp(base)),
        files({{'C', folder.string()}}, *CodePage::Open(page, error)),
        link(&files) {}
  ~NamesDrive() { stdfs::remove_all(folder); }
  NamesDrive(const NamesDrive&) = delete;
  NamesDrive& operator=(const NamesDrive&) = delete;

  // What a listing of the whole drive shows the handheld.
  std::vector<FindEntry> List() {
    link.port.writes.clear();
    link.Request("@@", "C:\\*");
    const std::string sent = link.port.Sent();
    std::vector<FindEntry> entries;
    EXPECT_EQ(sent.compare(0, 2, "@@"), 0);
    if (sent.size() > 2) {
      EXPECT_TRUE(DecodeListing(reinterpret_cast<const std::uint8_t*>(sent.data()) + 2,
                                sent.size() - 2, entries));
    }
    return entries;
  }
  // What a download of `name` brings, echo left out; "<nothing>" without one.
  std::string Fetch(const std::string& name) {
    link.port.writes.clear();
    link.Request("@&", "C:\\" + name);
    const std::string sent = link.port.Sent();
    return sent.compare(0, 2, "@&") == 0 ? sent.substr(2) : "<nothing>";
  }

  char base[32] = "/tmp/ql-names-XXXXXX";
  std::string error;
  stdfs::path folder;
  PosixFileSystem files;
  LinkHarness link;
};

// Handheld names of every class of byte: ASCII, reserved and control
// characters, high bytes defined or not, and lead bytes followed by every
// kind of second byte or by nothing.
std::string RandomHandheldName(std::mt19937& random, const CodePage& page) {
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  static const char kTrails[] = {0x5C, 0x7C, 0x2F, 0x2E, 0x3F, 0x2A, 0x20, 0x00, 0x7F};
  std::string name;
  for (int piece = 1 + pick(5); piece > 0; --piece) {
    const int kind = pick(10);
    if (kind < 4) {
      name += static_cast<char>("aAbZz09._-~ "[pick(12)]);
    } else if (kind == 4) {
      name += "\\/:*?\"<>|\x01\x1f\x7f"[pick(12)];
    } else if (kind < 8) {
      name += static_cast<char>(0x80 + pick(128));
    } else {
      auto lead = static_cast<unsigned char>(0x81 + pick(126));
      for (int tries = 0; tries < 8 && !page.IsLeadByte(lead); ++tries) {
        lead = static_cast<unsigned char>(0x81 + pick(126));
      }
      name += static_cast<char>(lead);
      const int trail = pick(4);
      if (trail < 2) name += static_cast<char>(0x40 + pick(0xBF));
      if (trail == 2) name += kTrails[pick(sizeof kTrails)];
    }
  }
  return name;
}

// (a) every stored upload lists back once and fetches back byte for byte,
// (b) a refused one leaves no file, (c) no two share a file.
TEST(HandheldNames, RandomUploadsRoundTripOrLeaveNothing) {
  for (const char* page : kEveryPage) {
    SCOPED_TRACE(page);
    NamesDrive drive(page);
    std::mt19937 random(26);
    std::map<std::string, std::string> stored;  // handheld name to contents
    std::string storedName;
    drive.link.server->SetActivitySink([&](const LinkActivity& a) {
      if (a.kind == LinkActivity::Kind::kUploadStored) storedName = a.text.substr(3);
    });
    for (int i = 0; i < 80; ++i) {
      const std::string contents = "upload " + std::to_string(i);
      storedName.clear();
      drive.link.Request("&&", "C:\\" + RandomHandheldName(random, drive.files.HandheldCodePage()));
      drive.link.Send(contents);
      if (!storedName.empty()) stored[storedName] = contents;
    }
    std::set<std::string> onDisk;
    for (const auto& entry : stdfs::directory_iterator(drive.folder)) {
      onDisk.insert(ReadHost(entry.path()));
    }
    std::set<std::string> uploaded;
    for (const auto& item : stored) uploaded.insert(item.second);
    EXPECT_EQ(onDisk, uploaded) << "a file for each stored upload, and no other";
    EXPECT_GT(stored.size(), 10u) << "names of every kind are stored";

    std::map<std::string, int> listed;
    for (const FindEntry& entry : drive.List()) ++listed[entry.name];
    for (const auto& [name, contents] : stored) {
      EXPECT_EQ(listed[name], 1) << ::testing::PrintToString(name);
      EXPECT_EQ(drive.Fetch(name), contents) << ::testing::PrintToString(name);
    }
  }
}

// Desktop names with wildcards, controls, backslashes, characters of many
// scripts and bytes that are not UTF-8, among plain letters.
std::string RandomHostName(std::mt19937& random) {
  static const char* const kPieces[] = {"?",      "*",      "\\",     ":",      "\x01",   "\x7f",
                                        "\xff",   "\x81",   "\xc3",   "\u00e9", "\u0436", "\u03b1",
                                        "\u05d0", "\u8868", "\u30bd", "\uac00", "\u20ac", "\u00aa",
                                        "\u0081", "\u0085", "\u00d9", "\u2252", "\uff21", "\u0e01"};
  std::string name;
  for (int piece = 1 + static_cast<int>(random() % 5); piece > 0; --piece) {
    if (random() % 2 == 0) {
      name += "aZ7. "[random() % 5];
    } else {
      name += kPieces[random() % (sizeof kPieces / sizeof *kPieces)];
    }
  }
  return name;
}

// (d) every listed name fetches exactly one file's whole contents, at the
// size listed, and names the handheld cannot ask for are counted, not shown.
TEST(HandheldNames, RandomDesktopNamesListedAreFetchedWhole) {
  for (const char* page : kEveryPage) {
    SCOPED_TRACE(page);
    NamesDrive drive(page);
    std::mt19937 random(62);
    std::map<std::string, std::string> byContents;  // contents to host name
    for (int i = 0; i < 40; ++i) {
      const std::string name = RandomHostName(random);
      if (name == "." || name == ".." || stdfs::exists(drive.folder / name)) continue;
      const std::string contents = "desktop file " + std::string(static_cast<std::size_t>(i), '+');
      std::ofstream(drive.folder / name, std::ios::binary) << contents;
      byContents[contents] = name;
    }
    std::uint32_t leftOut = 0;
    drive.link.server->SetActivitySink([&](const LinkActivity& a) {
      if (a.kind == LinkActivity::Kind::kListingSent) leftOut = a.leftOut;
    });
    const std::vector<FindEntry> entries = drive.List();
    EXPECT_EQ(entries.size() + leftOut, byContents.size());
    std::set<std::string> fetched;
    for (const FindEntry& entry : entries) {
      const std::string contents = drive.Fetch(entry.name);
      ASSERT_EQ(byContents.count(contents), 1u) << ::testing::PrintToString(entry.name);
      EXPECT_EQ(entry.size, contents.size()) << ::testing::PrintToString(entry.name);
      EXPECT_TRUE(fetched.insert(contents).second) << "two names, one file";
    }
  }
}

}  // namespace
}  // namespace ql::testing
