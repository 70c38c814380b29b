// Runs the real programs as child processes with their output in files, and a
// scratch folder per test, for end-to-end tests over a virtual cable.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef __APPLE__
extern char** environ;  // declared by unistd.h elsewhere
#endif

namespace ql::testing {

namespace fs = std::filesystem;

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::size_t CountLines(const std::string& text) {
  std::size_t lines = 0;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  return lines;
}

// A temporary folder, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "ql-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class ChildProcess {
 public:
  // Starts `args` with the given environment changes; standard output and
  // error go to files named after `name` in `folder`, or standard output to
  // the device `terminal` (a pseudo terminal's slave side) when one is given.
  ChildProcess(const std::vector<std::string>& args, const fs::path& folder,
               const std::string& name, const std::map<std::string, std::string>& env = {},
               const std::string& terminal = std::string())
      : out_(folder / (name + ".out")), err_(folder / (name + ".err")) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      if (env.count(text.substr(0, text.find('='))) == 0) environment.push_back(text);
    }
    for (const auto& [key, value] : env) environment.push_back(key + "=" + value);
    std::vector<char*> argv = Pointers(args);
    std::vector<char*> envp = Pointers(environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (terminal.empty()) {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, terminal.c_str(),
                                       O_WRONLY | O_NOCTTY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }

  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      Wait(std::chrono::seconds(5));
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  void Signal(int signal) const { kill(pid_, signal); }

  // The exit code, 128 + the signal's number for a killed process, -1 when it
  // still runs after `limit`.
  int Wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!exited_) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exited_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (done < 0 || std::chrono::steady_clock::now() >= end) {
        return -1;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    return code_;
  }

  std::string Out() const { return ReadText(out_); }
  std::string Err() const { return ReadText(err_); }

  // True once standard output holds `text` `times` times.
  bool AwaitOutput(const std::string& text, std::chrono::milliseconds limit, int times = 1) {
    const auto end = std::chrono::steady_clock::now() + limit;
    do {
      const std::string out = Out();
      int found = 0;
      for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) {
        ++found;
      }
      if (found >= times) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < end);
    return false;
  }

 private:
  static std::vector<char*> Pointers(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
  }

  fs::path out_;
  fs::path err_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
};

struct Finished {
  int code;
  std::string out;
  std::string err;
};

// Runs a program to its end (at most 30 s).
inline Finished RunToEnd(const std::vector<std::string>& args, const fs::path& folder,
                         const std::string& name,
                         const std::map<std::string, std::string>& env = {}) {
  ChildProcess child(args, folder, name, env);
  const int code = child.Wait(std::chrono::seconds(30));
  return {code, child.Out(), child.Err()};
}

}  // namespace ql::testing
