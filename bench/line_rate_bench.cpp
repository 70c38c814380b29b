// Measures the real quarnelix-link over a pseudo terminal against a handheld
// that paces its bytes at a given line rate (8N1: baud / 10 bytes a second).
// Prints one table and writes it as CSV.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_row.h"
#include "bench/file_system_bench.h"
#include "bench/speed_finding_bench.h"
#include "tools/cable/virtual_cable.h"

namespace {

using ql::bench::Row;
namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Seconds of CPU time (user + system) a process has used so far.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Peak resident memory of a process, in MiB.
double PeakMiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

// Waits until `path` holds `size` bytes (an upload is put in place whole).
void AwaitFile(const stdfs::path& path, std::uintmax_t size) {
  const auto giveUp = Clock::now() + 60s;
  std::error_code error;
  while (stdfs::file_size(path, error) != size) {
    if (Clock::now() > giveUp) throw std::runtime_error("not stored: " + path.string());
    std::this_thread::sleep_for(1ms);
  }
}

// Writes `size` bytes to `path`, syncs them and drops them from the page
// cache, so that whoever reads the file next reads it from the disk.
void WriteUncached(const stdfs::path& path, std::size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path.string());
  const std::string piece(std::size_t{1} << 20, 'h');
  bool written = true;
  for (std::size_t done = 0; written && done < size;) {
    const ssize_t put = write(fd, piece.data(), std::min(piece.size(), size - done));
    written = put > 0;
    if (written) done += static_cast<std::size_t>(put);
  }
  written = written && fsync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  close(fd);
  if (!written) throw std::runtime_error("cannot write " + path.string());
}

// The share of a file that is in the page cache, in per cent.
double CachedShare(const stdfs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return 0;
  const auto size = static_cast<std::size_t>(lseek(fd, 0, SEEK_END));
  void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (size == 0 || map == MAP_FAILED) return 0;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident((size + page - 1) / page);
  const bool known = mincore(map, size, resident.data()) == 0;
  munmap(map, size);
  if (!known) return 0;
  const auto cached = std::count_if(resident.begin(), resident.end(),
                                    [](unsigned char pageState) { return (pageState & 1) != 0; });
  return 100.0 * static_cast<double>(cached) / static_cast<double>(resident.size());
}

// When bytes reached the handheld: the first, the last, and the longest time
// between two consecutive ones.
struct Arrival {
  Clock::time_point first;
  Clock::time_point last;
  Clock::duration longestPause;
};

// The server on one end of a pseudo terminal; the bench is the handheld on the
// other. A pseudo terminal moves bytes as fast as they come whatever speed is
// set, so the line rate is the pace at which the bench writes and reads.
class Server {
 public:
  // With `port`, on that device (an end of the virtual cable) at `baud`,
  // and the bench opens the cable's other end, `handheldEnd`, at that speed.
  Server(const std::string& program, const stdfs::path& work, const std::string& port = "",
         unsigned baud = 115200, const std::string& handheldEnd = "") {
    char name[256] = {};
    if (port.empty()) {
      int slave = -1;
      if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty");
      }
      close(slave);
    } else {
      master_ = OpenAt(handheldEnd, baud);
      static_cast<void>(std::snprintf(name, sizeof name, "%s", port.c_str()));
    }
    const std::string speed = std::to_string(baud);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      const std::string drive = "C=" + (work / "drive").string();
      const std::string settings = (work / "settings.ini").string();
      execl(program.c_str(), program.c_str(), "--port", name, "--speed", speed.c_str(), "--drive",
            drive.c_str(), "--settings", settings.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    std::string said;
    char chunk[256];
    for (ssize_t n; said.find("opened.") == std::string::npos &&
                    (n = read(out[0], chunk, sizeof chunk)) > 0;) {
      said.append(chunk, static_cast<std::size_t>(n));
    }
    close(out[0]);
    if (said.find("opened.") == std::string::npos) throw std::runtime_error("server: " + said);
  }
  ~Server() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    close(master_);
  }

  pid_t pid() const { return pid_; }

  // A device opened raw at `baud`, as the handheld's serial port.
  static int OpenAt(const std::string& device, unsigned baud) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios settings{};
    if (fd < 0 || tcgetattr(fd, &settings) != 0) throw std::runtime_error("cannot open " + device);
    cfmakeraw(&settings);
    const speed_t speed = baud == 19200 ? B19200 : baud == 57600 ? B57600 : B115200;
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) throw std::runtime_error("cannot set " + device);
    return fd;
  }

  // Writes at no more than `bytesPerSecond` (0: as fast as the line takes it),
  // in slices a few milliseconds apart.
  void Write(const std::string& bytes, double bytesPerSecond = 0) const {
    const auto start = Clock::now();
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      std::size_t allowed = bytes.size();
      if (bytesPerSecond > 0) {
        const double due =
            std::chrono::duration<double>(Clock::now() - start).count() * bytesPerSecond;
        allowed = std::min(bytes.size(), static_cast<std::size_t>(due) + 1);
      }
      if (allowed > sent) {
        const ssize_t put = write(master_, bytes.data() + sent, allowed - sent);
        if (put > 0) sent += static_cast<std::size_t>(put);
      }
      if (sent < bytes.size()) {
        pollfd outReady{master_, POLLOUT, 0};
        if (bytesPerSecond > 0) {
          std::this_thread::sleep_for(2ms);
        } else {
          poll(&outReady, 1, 100);
        }
      }
    }
  }

  // Reads `length` bytes at no more than `bytesPerSecond`. Gives up after
  // `waitMs` without a byte.
  Arrival Read(std::size_t length, double bytesPerSecond = 0, int waitMs = 5000) const {
    std::vector<char> chunk(65536);
    std::size_t got = 0;
    Arrival arrival{};
    Clock::time_point& first = arrival.first;
    Clock::time_point& last = arrival.last;
    while (got < length) {
      std::size_t allowed = length - got;
      if (bytesPerSecond > 0 && got > 0) {
        const auto due = static_cast<std::size_t>(
            std::chrono::duration<double>(Clock::now() - first).count() * bytesPerSecond + 1);
        if (due <= got) {
          std::this_thread::sleep_for(2ms);
          continue;
        }
        allowed = std::min(allowed, due - got);
      }
      pollfd in{master_, POLLIN, 0};
      if (poll(&in, 1, waitMs) <= 0) throw std::runtime_error("the server fell silent");
      const ssize_t n = read(master_, chunk.data(), std::min(allowed, chunk.size()));
      if (n < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error("the line closed");
      if (n <= 0) continue;
      const auto now = Clock::now();
      if (got == 0) first = now;
      arrival.longestPause = std::max(arrival.longestPause, now - (got == 0 ? now : last));
      got += static_cast<std::size_t>(n);
      last = now;
    }
    return arrival;
  }

  // The handheld's command, its pause past the message boundary, then the text.
  void Request(const std::string& command, const std::string& text) const {
    Write(command);
    std::this_thread::sleep_for(300ms);
    Write(text);
  }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
};

class Bench {
 public:
  Bench(std::string program, std::size_t transferBytes, std::size_t uploadPeakBytes,
        std::size_t downloadPeakBytes, std::size_t downloadCableBytes)
      : program_(std::move(program)),
        transferBytes_(transferBytes),
        downloadCableBytes_(downloadCableBytes),
        uploadPeakBytes_(uploadPeakBytes),
        downloadPeakBytes_(downloadPeakBytes) {
    char base[] = "/tmp/ql-bench-XXXXXX";
    work_ = mkdtemp(base);
    stdfs::create_directories(work_ / "drive");
  }
  ~Bench() { stdfs::remove_all(work_); }

  void Upload(unsigned baud) {
    Server server(program_, work_);
    const std::string name = "up-" + std::to_string(baud) + ".bin";
    const std::string contents(transferBytes_, 'u');
    server.Request("&&", name);
    std::this_thread::sleep_for(700ms);
    const double cpuBefore = CpuSeconds(server.pid());
    const auto first = Clock::now();
    server.Write(contents, baud / 10.0);
    const auto lastByte = Clock::now();
    AwaitFile(work_ / "drive" / name, contents.size());
    const auto complete = Clock::now();
    const double lag = Ms(complete - lastByte);
    const double share =
        100.0 * (contents.size() / (Ms(lastByte - first) / 1000.0)) / (baud / 10.0);
    const std::string setting = Size(contents.size()) + " at " + std::to_string(baud);
    Add({"upload lag after the last byte", setting, lag, "ms", "<= 250", lag <= 250});
    Add({"upload rate", setting, share, "% of line", ">= 99", share >= 99});
    if (baud == 115200) {
      const double cpu = CpuSeconds(server.pid()) - cpuBefore;
      Add({"server CPU over the upload", setting, cpu * 1000, "ms", "", true});
    }
  }

  void Download(unsigned baud) {
    Server server(program_, work_);
    const std::string name = "down.bin";
    std::ofstream(work_ / "drive" / name, std::ios::binary) << std::string(transferBytes_, 'd');
    server.Request("@&", "C:\\" + name);
    const auto echo = server.Read(2).last;
    const auto last = server.Read(transferBytes_, baud / 10.0).last;
    const double seconds = Ms(last - echo) / 1000.0 - 0.5;
    const double share = 100.0 * (transferBytes_ / seconds) / (baud / 10.0);
    Add({"download rate (after the 500 ms pause)",
         Size(transferBytes_) + " at " + std::to_string(baud), share, "% of line", ">= 99",
         share >= 99});
    stdfs::remove(work_ / "drive" / name);
  }

  void Listing(int entries) {
    const stdfs::path folder = work_ / "drive" / ("list" + std::to_string(entries));
    stdfs::create_directories(folder);
    for (int i = 0; i < entries; ++i)
      std::ofstream(folder / ("file-" + std::to_string(i) + ".txt"));
    Server server(program_, work_);
    server.Request("@@", "C:\\" + folder.filename().string() + "\\*");
    const auto echo = server.Read(2).last;
    const auto first = server.Read(1).first;
    const double prepare = Ms(first - echo) - 500;
    Add({"listing preparation", std::to_string(entries) + " entries", prepare, "ms",
         entries >= 10000 ? "<= 50" : "", entries < 10000 || prepare <= 50});
    server.Read(static_cast<std::size_t>(entries + 2) * 296);  // drain: entries, "." and ".."
  }

  void Idle() {
    Server server(program_, work_);
    const double before = CpuSeconds(server.pid());
    std::this_thread::sleep_for(10s);
    const double share = 100.0 * (CpuSeconds(server.pid()) - before) / 10.0;
    Add({"server CPU while idle, port open", "10 s", share, "%", "< 0.1", share < 0.1});
  }

  // Over the virtual cable, paced at the line rate of both ends: the handheld
  // writes and reads as fast as its port takes and gives, and the cable
  // times the bytes.
  void PacedCable() {
    std::string error;
    ql::CableOptions paced;
    paced.paced = true;
    const auto cable = ql::VirtualCable::Create(work_.string(), error, paced);
    if (!cable) throw std::runtime_error(error);
    const std::string serverEnd = cable->DevicePath(ql::VirtualCable::kServerEnd);
    const std::string handheldEnd = cable->DevicePath(ql::VirtualCable::kHandheldEnd);
    {
      Server server(program_, work_, serverEnd, 115200, handheldEnd);
      // The lag does not grow with the size: 64 KiB, 5.7 s on the line.
      const std::string contents(std::size_t{64} * 1024, 'c');
      server.Request("&&", "cable.bin");
      std::this_thread::sleep_for(700ms);
      server.Write(contents);
      AwaitFile(work_ / "drive" / "cable.bin", contents.size());
      const auto complete = Clock::now();
      // From the moment the cable handed the server the last byte.
      const double lag = Ms(complete - cable->State(ql::VirtualCable::kServerEnd).lastReceived);
      Add({"upload lag after the last byte, paced cable", Size(contents.size()) + " at 115200", lag,
           "ms", "<= 250", lag <= 250});
      stdfs::remove(work_ / "drive" / "cable.bin");
    }
    {
      Server server(program_, work_, serverEnd, 115200, handheldEnd);
      std::ofstream(work_ / "drive" / "cable.bin", std::ios::binary)
          << std::string(downloadCableBytes_, 'd');
      server.Request("@&", "C:\\cable.bin");
      server.Read(2);
      const Arrival payload = server.Read(downloadCableBytes_);
      const double seconds = Ms(payload.last - payload.first) / 1000.0;
      // The first byte's arrival starts the clock: the others took the time.
      const double share =
          100.0 * (static_cast<double>(downloadCableBytes_ - 1) / seconds) / (115200 / 10.0);
      Add({"download rate, paced cable", Size(downloadCableBytes_) + " at 115200", share,
           "% of line", ">= 99.9", share >= 99.9});
      stdfs::remove(work_ / "drive" / "cable.bin");
    }
    {
      const int entries = 1000;
      const stdfs::path folder = work_ / "drive" / "cablelist";
      stdfs::create_directories(folder);
      for (int i = 0; i < entries; ++i) std::ofstream(folder / ("file-" + std::to_string(i)));
      Server server(program_, work_, serverEnd, 19200, handheldEnd);
      const auto asked = Clock::now();
      server.Request("@@", "C:\\cablelist\\*");
      server.Read(2);
      const std::size_t bytes = static_cast<std::size_t>(entries + 2) * 296;
      const Arrival records = server.Read(bytes, 0, 10000);
      const std::string setting = std::to_string(entries) + " entries at 19200";
      Add({"listing, request to last record, paced cable", setting,
           Ms(records.last - asked) / 1000.0, "s", "", true});
      const double share =
          100.0 * (static_cast<double>(bytes - 1) / (Ms(records.last - records.first) / 1000.0)) /
          (19200 / 10.0);
      Add({"listing rate, paced cable", setting, share, "% of line", ">= 99.9", share >= 99.9});
      stdfs::remove_all(folder);
    }
  }

  void FileSystem() {
    for (const Row& row : ql::bench::MeasureFileSystem(work_)) Add(row);
  }

  void SpeedFinding() {
    for (const Row& row : ql::bench::MeasureSpeedFinding()) Add(row);
  }

  void PeakMemory() {
    {
      Server server(program_, work_);
      server.Request("&&", "peak.bin");
      std::this_thread::sleep_for(700ms);
      server.Write(std::string(uploadPeakBytes_, 'p'));
      AwaitFile(work_ / "drive" / "peak.bin", uploadPeakBytes_);
      const double peak = PeakMiB(server.pid());
      Add({"peak server memory", "upload of " + Size(uploadPeakBytes_), peak, "MiB", "< 16",
           peak < 16});
      stdfs::remove(work_ / "drive" / "peak.bin");
    }
    {
      // Read from the disk, not from the page cache: the server reads the next
      // piece while the current one goes out, and the handheld must never see
      // a quiet interval inside the payload.
      const stdfs::path huge = work_ / "drive" / "huge.bin";
      WriteUncached(huge, downloadPeakBytes_);
      const std::string setting = "download of " + Size(downloadPeakBytes_);
      Add({"file in the page cache before the download", setting, CachedShare(huge), "%", "",
           true});
      Server server(program_, work_);
      server.Request("@&", "C:\\huge.bin");
      server.Read(2);
      const Arrival payload = server.Read(downloadPeakBytes_);
      const double peak = PeakMiB(server.pid());
      Add({"peak server memory", setting, peak, "MiB", "<= 16", peak <= 16});
      const double pause = Ms(payload.longestPause);
      Add({"longest pause inside the payload", setting, pause, "ms", "< 215", pause < 215});
      const double rate = downloadPeakBytes_ / 1e6 / (Ms(payload.last - payload.first) / 1000);
      Add({"download rate, first to last byte", setting, rate, "MB/s", "", true});
      stdfs::remove(huge);
    }
  }

  bool Report(const std::string& csvPath) const {
    std::printf("%-42s %-22s %12s %-10s %-16s %s\n", "measure", "setting", "value", "unit",
                "target", "");
    std::ofstream csv(csvPath);
    csv << "measure,setting,value,unit,target,met\n";
    bool allMet = true;
    for (const Row& row : rows_) {
      std::printf("%-42s %-22s %12.2f %-10s %-16s %s\n", row.measure.c_str(), row.setting.c_str(),
                  row.value, row.unit.c_str(), row.target.c_str(), row.met ? "ok" : "MISSED");
      csv << '"' << row.measure << "\",\"" << row.setting << "\"," << row.value << ',' << row.unit
          << ",\"" << row.target << "\"," << (row.met ? "yes" : "no") << '\n';
      allMet = allMet && row.met;
    }
    return allMet;
  }

 private:
  static std::string Size(std::size_t bytes) {
    return bytes % 1048576 == 0 ? std::to_string(bytes / 1048576) + " MiB"
                                : std::to_string(bytes / 1024) + " KiB";
  }
  void Add(const Row& row) {
    rows_.push_back(row);
    std::cerr << "  " << row.measure << ", " << row.setting << ": " << row.value << ' ' << row.unit
              << '\n';
  }

  std::string program_;
  std::size_t transferBytes_;
  std::size_t downloadCableBytes_;
  std::size_t uploadPeakBytes_;
  std::size_t downloadPeakBytes_;
  stdfs::path work_;
  std::vector<Row> rows_;
};

int Run(int argc, char** argv) {
  CLI::App app{"Measures quarnelix-link over a pseudo terminal at real line rates."};
  std::string server = (stdfs::path(argv[0]).parent_path() / "quarnelix-link").string();
  std::string csv = "bench-results.csv";
  bool quick = false;
  std::vector<unsigned> rates{19200, 57600, 115200, 921600};
  app.add_option("--server", server, "the server program")->capture_default_str();
  app.add_option("--csv", csv, "where the table is written as CSV")->capture_default_str();
  app.add_option("--rates", rates, "line rates in baud")->capture_default_str();
  bool check = false;
  app.add_flag("--check", check, "exit with 1 when a measure misses its target");
  app.add_flag("--quick", quick,
               "64 KiB transfers and smaller peaks, for a check in a minute or two");
  bool cableOnly = false;
  app.add_flag("--cable", cableOnly, "only the measures over the paced virtual cable");
  CLI11_PARSE(app, argc, argv);
  static_cast<void>(signal(SIGPIPE, SIG_IGN));

  const std::size_t transfer = quick ? 64 * 1024 : 1024 * 1024;
  Bench bench(server, transfer, quick ? 8u << 20 : 100u << 20, quick ? 32u << 20 : 256u << 20,
              quick ? 64 * 1024 : 1024 * 1024);
  bench.PacedCable();
  if (cableOnly) return bench.Report(csv) || !check ? 0 : 1;
  for (const unsigned baud : rates) bench.Upload(baud);
  for (const unsigned baud : rates) bench.Download(baud);
  for (const int entries : {10, 1000, 10000}) bench.Listing(entries);
  bench.FileSystem();
  bench.SpeedFinding();
  bench.Idle();
  bench.PeakMemory();
  const bool allMet = bench.Report(csv);
  return allMet || !check ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& failure) {
    std::cerr << "bench: " << failure.what() << '\n';
  } catch (...) {
    std::cerr << "bench: stopped by an unexpected failure\n";
  }
  return 2;
}
