// A temporary drive for the fuzzers: a C: folder with a few files and folders,
// and a sibling folder that nothing may ever write into.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace ql::fuzzing {

class FuzzDrive {
 public:
  FuzzDrive() {
    char base[] = "/tmp/ql-fuzz-XXXXXX";
    root_ = mkdtemp(base);
    std::filesystem::create_directories(Drive() + "/Docs/Sub");
    std::filesystem::create_directories(Outside());
    Write(Drive() + "/a.txt", "alpha");
    Write(Drive() + "/Docs/B.TXT", std::string(3000, 'b'));
    Write(Drive() + "/Docs/Sub/.hidden", "h");
    Write(Outside() + "/secret", "outside the drive");
    std::filesystem::create_symlink(Outside() + "/secret", Drive() + "/escape");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
      initial_.insert(entry.path().string());
    }
  }
  ~FuzzDrive() { std::filesystem::remove_all(root_); }

  std::string Drive() const { return root_ + "/drive"; }
  std::string Outside() const { return root_ + "/outside"; }

  // Removes what a run added inside the drive; stops the fuzzer when anything
  // appeared outside it or an original file changed size.
  void CheckAndReset() {
    for (const auto& entry : std::filesystem::directory_iterator(Outside())) {
      if (initial_.count(entry.path().string()) == 0) std::abort();
    }
    if (std::filesystem::file_size(Outside() + "/secret") != 17 ||
        std::filesystem::file_size(Drive() + "/a.txt") != 5) {
      std::abort();
    }
    for (const auto& entry : std::filesystem::directory_iterator(Drive())) {
      if (initial_.count(entry.path().string()) == 0) std::filesystem::remove_all(entry.path());
    }
  }

 private:
  static void Write(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
  }

  std::string root_;
  std::set<std::string> initial_;
};

}  // namespace ql::fuzzing
