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

  bool Create(const std::string& path, const std::string& contents) {
    std::unique_ptr<WritableFile> file = fs_.CreateNew(path);
    return file && file->Write(contents.data(), contents.size());
  }
  std::string ReadAll(const std::string& path) {
    std::unique_ptr<ReadableFile> file = fs_.OpenForReading(path);
    if (!file) return "<no file>";
    std::string contents;
    char buffer[1024];
    std::uint32_t count = 0;
    while (file->Read(buffer, sizeof buffer, &count) && count > 0) contents.append(buffer, count);
    return contents;
  }

  std::string folder_;
  WindowsFileSystem fs_;
};

TEST_F(WindowsFileSystemTest, ListsReadsAndCreates) {
  ASSERT_TRUE(Create(folder_ + "\\a.txt", "hello"));
  EXPECT_FALSE(Create(folder_ + "\\a.txt", "again"));  // never overwritten
  EXPECT_EQ(ReadAll(folder_ + "\\a.txt"), "hello");
  EXPECT_EQ(ReadAll(folder_ + "\\sub"), "<no file>");
  EXPECT_EQ(ReadAll(folder_ + "\\missing.txt"), "<no file>");
  EXPECT_EQ(ReadAll(folder_ + "\\NUL"), "<no file>");  // a device, not a file

  std::vector<FindEntry> entries;
  ASSERT_TRUE(fs_.FindFiles(folder_ + "\\*", entries));
  std::vector<std::string> names;
  for (const FindEntry& entry : entries) names.push_back(entry.name);
  EXPECT_EQ(names.size(), 4u);
  for (const char* name : {".", "..", "a.txt", "sub"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  }
  const auto file = std::find_if(entries.begin(), entries.end(),
                                 [](const FindEntry& entry) { return entry.name == "a.txt"; });
  ASSERT_NE(file, entries.end());
  EXPECT_EQ(file->size, 5u);
  EXPECT_FALSE(file->attributes & kAttributeDirectory);
  EXPECT_GT(file->lastWriteTime, 116444736000000000ULL);  // after 1970

  entries.clear();
  EXPECT_FALSE(fs_.FindFiles(folder_ + "\\*.none", entries));

  std::unique_ptr<WritableFile> created = fs_.CreateNew(folder_ + "\\b.txt");
  ASSERT_NE(created, nullptr);
  EXPECT_NE(created->TraceId(), 0);
  created.reset();
  fs_.Remove(folder_ + "\\b.txt");
  EXPECT_EQ(GetFileAttributesA((folder_ + "\\b.txt").c_str()), INVALID_FILE_ATTRIBUTES);

  const std::string longPath = folder_ + "\\" + std::string(260, 'x');
  EXPECT_FALSE(fs_.FindFiles(longPath, entries));
  EXPECT_EQ(fs_.CreateNew(longPath), nullptr);
  EXPECT_EQ(fs_.OpenForReading(longPath), nullptr);
}

}  // namespace
}  // namespace ql
