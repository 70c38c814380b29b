// quarnelix-demo: the desktop server and a simulated handheld talking over a
// virtual null-modem cable, with no hardware: a listing, a download and an
// upload, told step by step.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/terminal/terminal_text.h"
#include "tools/cable/virtual_cable.h"

#ifdef __APPLE__
#include <mach-o/dyld.h>
extern char** environ;  // declared by unistd.h elsewhere
#endif

namespace ql {
namespace {

namespace fs = std::filesystem;

constexpr char kSpeed[] = "115200";

void Step(const std::string& text) { std::cout << "\n==> " << text << std::endl; }

pid_t Spawn(const std::vector<std::string>& args, int outFd) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
  }
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Run(const std::vector<std::string>& args) {
  std::cout << "   $ " << fs::path(args[0]).filename().string();
  for (std::size_t i = 1; i < args.size(); ++i) std::cout << " '" << args[i] << "'";
  std::cout << std::endl;
  const pid_t pid = Spawn(args, -1);
  return pid < 0 ? 127 : Wait(pid);
}

// The server's own lines, shown as they come, indented; its "opened." line
// tells that it is ready.
class ServerOutput {
 public:
  explicit ServerOutput(int readFd) : fd_(readFd), reader_([this] { Read(); }) {}
  ~ServerOutput() {
    reader_.join();
    close(fd_);
  }
  ServerOutput(const ServerOutput&) = delete;
  ServerOutput& operator=(const ServerOutput&) = delete;

  bool AwaitReady() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return ready_ || ended_; }) &&
           ready_;
  }

 private:
  void Read() {
    std::string line;
    char c = 0;
    while (read(fd_, &c, 1) == 1) {
      if (c != '\n') {
        line += c;
        continue;
      }
      // The server's words may hold names from the disk: escaped for the terminal.
      std::cout << "   [server] " << TerminalText(line) << std::endl;
      std::lock_guard<std::mutex> lock(mutex_);
      if (line.find(" opened.") != std::string::npos) ready_ = true;
      changed_.notify_all();
      line.clear();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  int fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ready_ = false;
  bool ended_ = false;
  std::thread reader_;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

void MakeDemoFolder(const fs::path& folder) {
  fs::create_directories(folder / "Reports");
  WriteFile(folder / "readme.txt",
            "Hello from the desktop!\r\nThis file travelled over a virtual null-modem cable.\r\n");
  WriteFile(folder / "Reports" / "march.csv", "day,visits\r\n1,17\r\n2,23\r\n3,19\r\n");
  std::string big;
  for (int i = 0; i < 3000; ++i) big += static_cast<char>((i * 7 + i / 13) & 0xFF);
  WriteFile(folder / "Reports" / "chart.bin", big);
}

bool Same(const fs::path& a, const fs::path& b, const std::string& what) {
  const bool same = fs::exists(a) && fs::exists(b) && ReadFile(a) == ReadFile(b);
  std::cout << "   " << (same ? "OK: " : "MISMATCH: ") << what
            << (same ? " is identical, byte for byte" : " differs") << std::endl;
  return same;
}

int Demo(const fs::path& programs, const fs::path& work) {
  const std::string server = (programs / "quarnelix-link").string();
  const std::string peer = (programs / "quarnelix-peer").string();
  const fs::path desktop = work / "desktop";
  const fs::path handheld = work / "handheld";
  fs::create_directories(handheld);

  Step(
      "A virtual null-modem cable: two pseudo terminals joined by a relay, paced at the line rate");
  std::string error;
  CableOptions paced;
  paced.paced = true;
  std::unique_ptr<VirtualCable> cable = VirtualCable::Create(work.string(), error, paced);
  if (!cable) {
    std::cerr << "quarnelix-demo: " << error << "\n";
    return 1;
  }
  const std::string serverEnd = cable->DevicePath(VirtualCable::kServerEnd);
  const std::string handheldEnd = cable->DevicePath(VirtualCable::kHandheldEnd);
  std::cout << "   desktop end:  " << serverEnd << " -> " << fs::read_symlink(serverEnd).string()
            << "\n   handheld end: " << handheldEnd << " -> "
            << fs::read_symlink(handheldEnd).string() << std::endl;

  Step("The desktop's folder, served as drive C:");
  MakeDemoFolder(desktop);
  for (const auto& entry : fs::recursive_directory_iterator(desktop)) {
    std::cout << "   " << fs::relative(entry.path(), desktop).string()
              << (entry.is_directory() ? "/"
                                       : "  (" + std::to_string(entry.file_size()) + " bytes)")
              << "\n";
  }

  Step("Starting the desktop server on its end of the cable");
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return 1;
  const std::vector<std::string> serverArgs = {server,
                                               "--port",
                                               serverEnd,
                                               "--speed",
                                               kSpeed,
                                               "--drive",
                                               "C=" + desktop.string(),
                                               "--settings",
                                               (work / "Quarnelix_link.ini").string()};
  std::cout << "   $ quarnelix-link --port " << serverEnd << " --speed " << kSpeed
            << " --drive C=" << desktop.string() << " --settings "
            << (work / "Quarnelix_link.ini").string() << std::endl;
  const pid_t serverPid = Spawn(serverArgs, pipeFds[1]);
  close(pipeFds[1]);
  ServerOutput output(pipeFds[0]);
  if (serverPid < 0 || !output.AwaitReady()) {
    std::cerr << "quarnelix-demo: the server did not start\n";
    if (serverPid > 0) {
      kill(serverPid, SIGTERM);
      Wait(serverPid);
    }
    return 1;
  }
  const std::vector<std::string> peerArgs = {peer, "--port", handheldEnd, "--speed", kSpeed};
  auto peerRun = [&](std::vector<std::string> args) {
    args.insert(args.begin(), peerArgs.begin(), peerArgs.end());
    return Run(args) == 0;
  };

  bool ok = true;
  Step("The handheld lists the desktop's drive C:");
  ok &= peerRun({"ls", "C:\\*"});
  Step("...and the Reports folder");
  ok &= peerRun({"ls", "C:\\Reports\\*"});

  Step("The handheld downloads C:\\Reports\\chart.bin");
  const fs::path fetched = handheld / "chart.bin";
  ok &= peerRun({"get", "C:\\Reports\\chart.bin", fetched.string()});
  ok &= Same(desktop / "Reports" / "chart.bin", fetched, "the downloaded chart.bin");

  Step("The handheld uploads a memo; uploads land in C:\\");
  const fs::path memo = handheld / "memo.txt";
  WriteFile(memo, "Written on the handheld, stored on the desktop.\r\n");
  ok &= peerRun({"put", memo.string()});
  ok &= Same(memo, desktop / "memo.txt", "the uploaded memo.txt");

  Step("Uploading it again is refused: the desktop never overwrites a file");
  const bool refused = !peerRun({"put", memo.string()});
  std::cout << "   " << (refused ? "OK: refused" : "UNEXPECTED: accepted") << std::endl;
  ok &= refused;

  Step("Stopping the server with SIGTERM: it closes the port and saves its settings");
  kill(serverPid, SIGTERM);
  const int serverExit = Wait(serverPid);
  std::cout << "   the server ended with exit code " << serverExit << "; its settings file:\n";
  std::istringstream settings(ReadFile(work / "Quarnelix_link.ini"));
  for (std::string line; std::getline(settings, line);) std::cout << "     " << line << "\n";
  ok &= serverExit == 0;

  Step(ok ? "Demonstration complete: every step worked." : "Demonstration FAILED: see above.");
  return ok ? 0 : 1;
}

constexpr char kHelp[] =
    "Usage: quarnelix-demo [--help]\n"
    "\n"
    "Shows quarnelix-link and quarnelix-peer at work without hardware: joins two pseudo\n"
    "terminals into a virtual null-modem cable, serves a small demo folder as C: on one end,\n"
    "lists, downloads and uploads from the other, then stops the server with SIGTERM and\n"
    "shows its saved settings. Everything happens in a temporary folder, removed at the end.\n"
    "quarnelix-link and quarnelix-peer are taken from the folder this program is in.\n";

// The folder this program was started from, wherever the shell found it.
std::filesystem::path ProgramFolder(const char* argv0) {
  namespace fs = std::filesystem;
  std::error_code failed;
#ifdef __APPLE__
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) == 0) {
    const fs::path self = fs::canonical(path.c_str(), failed);
    if (!failed) return self.parent_path();
  }
#else
  const fs::path self = fs::read_symlink("/proc/self/exe", failed);
  if (!failed) return self.parent_path();
#endif
  return fs::canonical(fs::path(argv0), failed).parent_path();
}

}  // namespace
}  // namespace ql

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << ql::kHelp;
      return 0;
    }
    std::cerr << "quarnelix-demo: " << arg
              << " is not an option; the demonstration takes none (--help says what it does)\n";
    return 2;
  }
  const fs::path programs = ql::ProgramFolder(argv[0]);
  for (const char* program : {"quarnelix-link", "quarnelix-peer"}) {
    if (access((programs / program).c_str(), X_OK) != 0) {
      std::cerr << "quarnelix-demo: " << program << " is not in " << programs.string()
                << ", beside this program; build it there first\n";
      return 1;
    }
  }
  std::error_code failed;
  std::string pattern = (fs::temp_directory_path() / "quarnelix-demo-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("quarnelix-demo: temporary folder");
    return 1;
  }
  const int result = ql::Demo(programs, pattern);
  fs::remove_all(pattern, failed);
  std::cout << "   (removed " << pattern << ")" << std::endl;
  return result;
}
