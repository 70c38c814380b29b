// Names in every code page a handheld uses, through the server and a real
// folder: double-byte characters whose second byte is 0x5C or 0x7C, and
// names that differ only in a second byte, are uploaded, listed, fetched and
// refused as existing, each as itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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

}  // namespace
}  // namespace ql::testing
