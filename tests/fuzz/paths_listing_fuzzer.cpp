// Search patterns, path resolution, the code page and the listing encoder
// with arbitrary input: nothing may crash, and listings must decode to what
// was encoded.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <optional>

#include "fs/handheld_path.h"
#include "fs/posix_file_system.h"
#include "fs/wildcard_pattern.h"
#include "link/wire_format.h"
#include "tests/fuzz/fuzz_drive.h"

namespace {

struct Fixture {
  Fixture()
      : western({{'C', drive.Drive()}, {'D', drive.Drive() + "/Docs"}},
                *ql::CodePage::Open("WINDOWS-1252", error)),
        japanese({{'C', drive.Drive()}}, *ql::CodePage::Open("CP932", error)) {}
  std::string error;
  ql::fuzzing::FuzzDrive drive;
  ql::PosixFileSystem western;
  ql::PosixFileSystem japanese;  // lead bytes: 0x5C may be a second byte
};

Fixture& TheFixture() {
  static Fixture fixture;
  return fixture;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Fixture& f = TheFixture();
  FuzzedDataProvider input(data, size);
  ql::PosixFileSystem& files = input.ConsumeBool() ? f.western : f.japanese;
  const ql::CodePage& codePage = files.HandheldCodePage();
  const std::string pattern = input.ConsumeRandomLengthString(400);
  const std::string name = input.ConsumeRandomLengthString(300);

  ql::HandheldPath parsed;
  if (ql::ParseHandheldPath(pattern, parsed, codePage)) {
    for (const std::string& folder : parsed.folders) {
      if (folder == ".." || folder == "." || folder.empty()) std::abort();
    }
  }
  // The name map is exact both ways, from either side.
  if (const std::optional<std::string> host = codePage.HostName(name)) {
    if (codePage.HandheldName(*host) != name) std::abort();
    ql::WildcardPattern(codePage.UpperHostChars(*host)).Matches(codePage.UpperHostChars(*host));
  }
  if (const std::optional<std::string> handheld = codePage.HandheldName(name)) {
    if (codePage.HostName(*handheld) != name) std::abort();
  }
  codePage.ToHandheld(codePage.ToHost(name));

  ql::FoundEntries found;
  std::vector<ql::FindEntry>& entries = found.entries;
  if (files.FindFiles(pattern, found) == ql::kSuccess) {
    for (const ql::FindEntry& entry : entries) {
      if (entry.name == "secret") std::abort();  // outside the drive
    }
    std::unique_ptr<ql::ReadableFile> file;
    static_cast<void>(files.OpenForReading(pattern, file));
  }
  ql::FindEntry extra;
  extra.name = name;
  extra.size = input.ConsumeIntegral<std::uint64_t>();
  extra.lastWriteTime = input.ConsumeIntegral<std::uint64_t>();
  entries.push_back(extra);
  const std::vector<std::uint8_t> listing = ql::EncodeListing(entries);
  std::vector<ql::FindEntry> decoded;
  if (!ql::DecodeListing(listing.data(), listing.size(), decoded) ||
      decoded.size() != entries.size() || decoded.back().size != extra.size ||
      decoded.back().lastWriteTime != extra.lastWriteTime ||
      decoded.back().name !=
          extra.name.substr(0, std::min(extra.name.find('\0'), std::size_t{259}))) {
    std::abort();
  }
  return 0;
}
