#include "fs/windows_file_system.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "link/name_rules.h"

namespace ql {
namespace {

std::wstring Wide(const std::string& ansi) {
  std::wstring wide(ansi.size(), L'\0');
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, ansi.data(),
                                                           static_cast<int>(ansi.size()), &wide[0],
                                                           static_cast<int>(ansi.size()))));
  return wide;
}

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
    const std::wstring folder = Wide(folder_) + L"\\";
    WIN32_FIND_DATAW data;
    const HANDLE search = FindFirstFileW((folder + L"*").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
          DeleteFileW((folder + data.cFileName).c_str());
        }
      } while (FindNextFileW(search, &data));
      FindClose(search);
    }
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
  // The upload temporaries in the test's folder, listed by the system itself.
  std::vector<std::string> Temporaries() {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    const HANDLE search = FindFirstFileA((folder_ + "\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      if (IsUploadTemporaryName(data.cFileName)) names.push_back(folder_ + "\\" + data.cFileName);
    } while (FindNextFileA(search, &data));
    FindClose(search);
    return names;
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
  // Only paths from a drive's root: no device or other namespace.
  EXPECT_EQ(ReadAll("\\\\?\\" + folder_ + "\\a.txt"), "<no file>");

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
  EXPECT_TRUE(Temporaries().empty());
  EXPECT_EQ(Create(folder_ + "\\gone\\c.txt", "c"), ERROR_PATH_NOT_FOUND);

  const std::string longPath = folder_ + "\\" + std::string(260, 'x');
  EXPECT_NE(fs_.FindFiles(longPath, found), kSuccess);
  EXPECT_NE(Create(longPath, "x"), kSuccess);
  EXPECT_EQ(ReadAll(longPath), "<no file>");
}

TEST_F(WindowsFileSystemTest, LeavesOutNamesTheCodePageCannotCarry) {
  if (GetACP() != 1252) GTEST_SKIP() << "the names are chosen for code page 1252";
  // U+0436 is no character of the page; U+0100 would come back as a best-fit "A".
  for (const wchar_t* name : {L"\\ab\x0436.txt", L"\\ab\x0100.txt"}) {
    const std::wstring path = Wide(folder_) + name;
    const HANDLE created =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    FoundEntries all;
    EXPECT_EQ(fs_.FindFiles(folder_ + "\\*", all), kSuccess);
    EXPECT_EQ(all.entries.size(), 3u);  // ".", ".." and "sub"
    EXPECT_EQ(all.leftOut, 1u);
    FoundEntries fetched;
    EXPECT_EQ(fs_.FindFiles(folder_ + "\\ab?.txt", fetched), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(fetched.leftOut, 1u);
    DeleteFileW(path.c_str());
  }
}

TEST_F(WindowsFileSystemTest, RemovesOnlyAbandonedTemporaries) {
  const std::string abandoned = folder_ + "\\" + UploadTemporaryName(1);
  const HANDLE left = CreateFileA(abandoned.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_HIDDEN, nullptr);
  ASSERT_NE(left, INVALID_HANDLE_VALUE);
  CloseHandle(left);
  std::unique_ptr<UploadFile> live;
  ASSERT_EQ(fs_.CreateUpload(folder_ + "\\c.txt", live), kSuccess);
  ASSERT_EQ(live->Write("c", 1), kSuccess);
  EXPECT_EQ(EntriesIn(folder_), 3u);  // neither temporary is listed
  ASSERT_EQ(Temporaries().size(), 2u);

  fs_.RemoveAbandonedTemporaries(folder_ + "\\");
  const std::vector<std::string> kept = Temporaries();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_NE(kept[0], abandoned);
  // No other program reads the live one meanwhile.
  const HANDLE reader = CreateFileA(kept[0].c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  // Someone at the desktop takes it away before the upload is whole.
  ASSERT_TRUE(MoveFileA(kept[0].c_str(), (folder_ + "\\moved").c_str()));
  EXPECT_EQ(live->Commit(), kUploadTemporaryRemoved);
  EXPECT_EQ(GetFileAttributesA((folder_ + "\\c.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(WindowsFileSystemTest, AFileBeingSentHasItsOwnSizeAndNoWriter) {
  ASSERT_EQ(Create(folder_ + "\\a.txt", "abc"), kSuccess);
  std::unique_ptr<ReadableFile> file;
  ASSERT_EQ(fs_.OpenForReading(folder_ + "\\a.txt", file), kSuccess);
  FileStamp opened;
  ASSERT_EQ(file->Stat(opened), kSuccess);
  EXPECT_EQ(opened.size, 3u);
  const HANDLE writer =
      CreateFileA((folder_ + "\\a.txt").c_str(), FILE_APPEND_DATA,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "no program writes a file while it is sent";
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
}

}  // namespace
}  // namespace ql
