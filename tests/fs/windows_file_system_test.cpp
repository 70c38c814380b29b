#include "fs/windows_file_system.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

namespace ql {
namespace {

class WindowsFileSystemTest : public ::testing::Test {
 protected:
  WindowsFileSystemTest() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    folder_ = std::string(temp) + "ql-fs-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder_.c_str(), nullptr);
    CreateDirectoryA((folder_ + "\\sub").c_str(), nullptr);
  }
  ~WindowsFileSystemTest() override {
    for (const char* name : {"\\a.txt", "\\b.txt"}) DeleteFileA((folder_ + name).c_str());
    RemoveDirectoryA((folder_ + "\\sub").c_str());
    RemoveDirectoryA(folder_.c_str());
  }

  // Stores an upload as the server does; the status of the step that failed.
  Status Create(const std::string& path, const std::string& contents) {
    std::unique_ptr<UploadFile> file;
    Status status = fs_.CreateUpload(path, file);
    if (status == kSuccess) status = file->Write(contents.data(), contents.size());
    return status == kSuccess ? file->Commit() : status;
  }
  std::string ReadAll(const std::string& path) {
    std::unique_ptr<ReadableFile> file;
    if (fs_.OpenForReading(path, file) != kSuccess) return "<no file>";
    std::string contents;
    char buffer[1024];
    std::uint32_t count = 0;
    do {
      file->StartRead(buffer, sizeof buffer);
      if (file->FinishRead(&count) != kSuccess) return "<read error>";
      contents.append(buffer, count);
    } while (count == sizeof buffer);
    return contents;
  }
  std::size_t EntriesIn(const std::string& folder) {
    FoundEntries found;
    static_cast<void>(fs_.FindFiles(folder + "\\*", found));
    return found.entries.size();
  }

  std::string folder_;
  WindowsFileSystem fs_;
};

TEST_F(WindowsFileSystemTest, ListsReadsAndCreates) {
  ASSERT_EQ(Create(folder_ + "\\a.txt", std::string(3000, 'h')), kSuccess);
  EXPECT_EQ(Create(folder_ + "\\A.TXT", "again"), ERROR_ALREADY_EXISTS);  // never overwritten
  EXPECT_EQ(ReadAll(folder_ + "\\a.txt"), std::string(3000, 'h'));
  EXPECT_EQ(ReadAll(folder_ + "\\sub"), "<no file>");
  EXPECT_EQ(ReadAll(folder_ + "\\missing.txt"), "<no file>");
  EXPECT_EQ(ReadAll(folder_ + "\\NUL"), "<no file>");  // a device, not a file

  FoundEntries found;
  std::vector<FindEntry>& entries = found.entries;
  ASSERT_EQ(fs_.FindFiles(folder_ + "\\*", found), kSuccess);
  std::vector<std::string> names;
  for (const FindEntry& entry : entries) names.push_back(entry.name);
  EXPECT_EQ(names.size(), 4u);
  for (const char* name : {".", "..", "a.txt", "sub"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  }
  const auto file = std::find_if(entries.begin(), entries.end(),
                                 [](const FindEntry& entry) { return entry.name == "a.txt"; });
  ASSERT_NE(file, entries.end());
  EXPECT_EQ(file->size, 3000u);
  EXPECT_FALSE(file->attributes & kAttributeDirectory);
  EXPECT_GT(file->lastWriteTime, 116444736000000000ULL);  // after 1970

  entries.clear();
  EXPECT_EQ(fs_.FindFiles(folder_ + "\\*.none", found), ERROR_FILE_NOT_FOUND);

  // An upload dropped before it was whole leaves nothing behind.
  std::unique_ptr<UploadFile> created;
  ASSERT_EQ(fs_.CreateUpload(folder_ + "\\b.txt", created), kSuccess);
  EXPECT_NE(created->TraceId(), 0);
  EXPECT_EQ(created->Write("b", 1), kSuccess);
  created.reset();
  EXPECT_EQ(GetFileAttributesA((folder_ + "\\b.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(EntriesIn(folder_), 4u);
  EXPECT_EQ(Create(folder_ + "\\gone\\c.txt", "c"), ERROR_PATH_NOT_FOUND);

  const std::string longPath = folder_ + "\\" + std::string(260, 'x');
  EXPECT_NE(fs_.FindFiles(longPath, found), kSuccess);
  EXPECT_NE(Create(longPath, "x"), kSuccess);
  EXPECT_EQ(ReadAll(longPath), "<no file>");
}

}  // namespace
}  // namespace ql
