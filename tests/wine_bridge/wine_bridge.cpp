// A test device for wine 8.0 (Debian 12) on pseudo terminals: preloaded into
// wine (LD_PRELOAD), it makes a COM port linked to a pseudo terminal behave as
// a Windows serial driver does, so that the Windows programs can be tested on
// a virtual cable. It is never part of a program and is used by the wine tests
// alone. Each part can be switched off to show what it bridges:
//
//   QL_WINE_BRIDGE_NO_MODEM=1   modem-status ioctls (TIOCMGET, TIOCMSET, TIOCMBIS,
//                               TIOCMBIC) on a pseudo terminal fail as Linux has it.
//                               Bridged: they succeed, with DTR, RTS, CTS, DSR and
//                               carrier on. wine's comm wait reads the modem status
//                               on every poll and ends the wait as cancelled when
//                               it cannot, so no wait ever reports EV_RXCHAR.
//                               A terminal that hung up is left failing them, as a
//                               removed adapter fails everything: its pending wait
//                               ends with STATUS_DEVICE_NOT_READY.
//   QL_WINE_BRIDGE_NO_READ=1    an overlapped read in immediate mode (interval
//                               MAXDWORD, both totals 0) of an empty terminal stays
//                               pending until bytes arrive. Bridged: it completes
//                               at once with 0 bytes and its event set.
//   QL_WINE_BRIDGE_NO_MASK=1    SetCommMask during a pending WaitCommEvent ends the
//                               wait with STATUS_CANCELLED. Bridged: the wait
//                               succeeds with no event bits.
//   QL_WINE_BRIDGE_NO_CANCEL=1  CancelIoEx/CancelIo do not end a pending comm wait.
//                               Bridged: the wait ends with STATUS_CANCELLED.
//
// How: wine's unix side of ntdll.so calls ioctl() through its PLT, so that one
// is interposed. The Nt calls of Windows code reach ntdll.so through its
// syscall table, not through symbols, so once the loader has opened ntdll.so
// the table's entries for NtReadFile, NtDeviceIoControlFile, NtCancelIoFile and
// NtCancelIoFileEx are pointed here. A comm wait on a pseudo terminal is handed
// to wine with an event and status block of the bridge's own; a relay thread
// copies wine's outcome to the caller's, corrected, before it sets the
// caller's event.
#include <dlfcn.h>
#include <link.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#define WINAPI __attribute__((ms_abi))

namespace {

using NTSTATUS = std::int32_t;
using ULONG = std::uint32_t;
using HANDLE = void*;

struct IoStatusBlock {
  union {
    NTSTATUS status;
    void* pointer;
  };
  std::uintptr_t information;
};

struct SerialTimeouts {
  ULONG readInterval, readMultiplier, readConstant, writeMultiplier, writeConstant;
};

constexpr NTSTATUS kStatusSuccess = 0;
constexpr NTSTATUS kStatusPending = 0x103;
constexpr NTSTATUS kStatusCancelled = static_cast<NTSTATUS>(0xC0000120u);
constexpr NTSTATUS kStatusDeviceNotReady = static_cast<NTSTATUS>(0xC00000A3u);
constexpr ULONG kMaxDword = 0xFFFFFFFFu;
constexpr ULONG kFileReadData = 1;
constexpr ULONG kEventAllAccess = 0x1F0003;
constexpr ULONG kThreadAllAccess = 0x1FFFFF;
constexpr int kNotificationEvent = 0;
// Pseudo handles are numbers.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(-1);  // NOLINT(performance-no-int-to-ptr)
HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(-2);   // NOLINT(performance-no-int-to-ptr)

// CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr ULONG SerialIoctl(ULONG function) { return (0x1Bu << 16) | (function << 2); }
constexpr ULONG kGetTimeouts = SerialIoctl(8);
constexpr ULONG kGetWaitMask = SerialIoctl(16);
constexpr ULONG kSetWaitMask = SerialIoctl(17);
constexpr ULONG kWaitOnMask = SerialIoctl(18);

using ReadFileFn = NTSTATUS(WINAPI*)(HANDLE, HANDLE, void*, void*, IoStatusBlock*, void*, ULONG,
                                     void*, ULONG*);
using DeviceIoControlFn = NTSTATUS(WINAPI*)(HANDLE, HANDLE, void*, void*, IoStatusBlock*, ULONG,
                                            void*, ULONG, void*, ULONG);
using CancelIoFileFn = NTSTATUS(WINAPI*)(HANDLE, IoStatusBlock*);
using CancelIoFileExFn = NTSTATUS(WINAPI*)(HANDLE, IoStatusBlock*, IoStatusBlock*);
using CreateEventFn = NTSTATUS(WINAPI*)(HANDLE*, ULONG, const void*, int, unsigned char);
using SetEventFn = NTSTATUS(WINAPI*)(HANDLE, void*);
using WaitForSingleObjectFn = NTSTATUS(WINAPI*)(HANDLE, unsigned char, const void*);
using CloseFn = NTSTATUS(WINAPI*)(HANDLE);
using ThreadStart = void(WINAPI*)(void*);
using CreateThreadExFn = NTSTATUS(WINAPI*)(HANDLE*, ULONG, void*, HANDLE, ThreadStart, void*, ULONG,
                                           std::uintptr_t, std::size_t, std::size_t, void*);
using TerminateThreadFn = NTSTATUS(WINAPI*)(HANDLE, NTSTATUS);
using HandleToFdFn = NTSTATUS(WINAPI*)(HANDLE, ULONG, int*, ULONG*);  // ms_abi too
using IoctlFn = int (*)(int, unsigned long, void*);
using DlopenFn = void* (*)(const char*, int);

struct Parts {
  bool modem, read, mask, cancel;
};
Parts parts{};

// ntdll.so's own entry points, as the syscall table held them.
struct Ntdll {
  ReadFileFn readFile;
  DeviceIoControlFn deviceIoControl;
  CancelIoFileFn cancelIoFile;
  CancelIoFileExFn cancelIoFileEx;
  CreateEventFn createEvent;
  SetEventFn setEvent;
  SetEventFn resetEvent;
  WaitForSingleObjectFn waitForSingleObject;
  CloseFn close;
  CreateThreadExFn createThreadEx;
  TerminateThreadFn terminateThread;
  HandleToFdFn handleToFd;
};
Ntdll nt{};

IoctlFn realIoctl = nullptr;
DlopenFn realDlopen = nullptr;

bool SwitchedOff(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

__attribute__((constructor)) void Initialise() {
  parts.modem = !SwitchedOff("QL_WINE_BRIDGE_NO_MODEM");
  parts.read = !SwitchedOff("QL_WINE_BRIDGE_NO_READ");
  parts.mask = !SwitchedOff("QL_WINE_BRIDGE_NO_MASK");
  parts.cancel = !SwitchedOff("QL_WINE_BRIDGE_NO_CANCEL");
  realIoctl = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
  realDlopen = reinterpret_cast<DlopenFn>(dlsym(RTLD_NEXT, "dlopen"));
}

// Unix98 pseudo-terminal slaves have majors 136 to 143.
bool IsPseudoTerminal(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  const unsigned int deviceMajor = major(info.st_rdev);
  return deviceMajor >= 136 && deviceMajor <= 143;
}

// The pseudo terminal behind a wine handle: its unix fd (to be closed), or -1.
int PseudoTerminalOf(HANDLE file) {
  int fd = -1;
  if (nt.handleToFd == nullptr || nt.handleToFd(file, kFileReadData, &fd, nullptr) != 0) return -1;
  if (IsPseudoTerminal(fd)) return fd;
  close(fd);
  return -1;
}

bool IsPseudoTerminalHandle(HANDLE file) {
  const int fd = PseudoTerminalOf(file);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Both sides of the terminal were closed: its slave reports a hang-up for good.
bool HungUp(int fd) {
  pollfd line{fd, 0, 0};
  return poll(&line, 1, 0) == 1 && (line.revents & POLLHUP) != 0;
}

bool IsHungUpTerminal(HANDLE file) {
  const int fd = PseudoTerminalOf(file);
  if (fd < 0) return false;
  const bool hungUp = HungUp(fd);
  close(fd);
  return hungUp;
}

// ---- immediate-mode reads ----

bool IsEmptyImmediateRead(HANDLE file) {
  const int fd = PseudoTerminalOf(file);
  if (fd < 0) return false;
  SerialTimeouts timeouts{};
  IoStatusBlock io{};
  const bool immediate = nt.deviceIoControl(file, nullptr, nullptr, nullptr, &io, kGetTimeouts,
                                            nullptr, 0, &timeouts, sizeof timeouts) == 0 &&
                         timeouts.readInterval == kMaxDword && timeouts.readMultiplier == 0 &&
                         timeouts.readConstant == 0;
  int queued = 0;
  const bool empty = realIoctl(fd, FIONREAD, &queued) == 0 && queued == 0;
  close(fd);
  return immediate && empty;
}

// Reads that ask for an APC are left to wine: the programs under test use events.
NTSTATUS WINAPI BridgedReadFile(HANDLE file, HANDLE event, void* apc, void* apcContext,
                                IoStatusBlock* io, void* buffer, ULONG length, void* offset,
                                ULONG* key) {
  if (apc == nullptr && IsEmptyImmediateRead(file)) {
    io->information = 0;
    io->status = kStatusSuccess;
    if (event != nullptr) nt.setEvent(event, nullptr);
    return kStatusSuccess;
  }
  return nt.readFile(file, event, apc, apcContext, io, buffer, length, offset, key);
}

// ---- comm waits ----

struct PendingWait {
  HANDLE file;
  pthread_t issuer;
  HANDLE callerEvent;
  IoStatusBlock* callerIo;
  std::uint32_t* callerEvents;
  HANDLE ownEvent = nullptr;
  IoStatusBlock ownIo{};
  std::uint32_t ownEvents = 0;
  bool maskChanged = false;
  bool cancelled = false;
  PendingWait* next = nullptr;
};

pthread_mutex_t waitsLock = PTHREAD_MUTEX_INITIALIZER;
PendingWait* waits = nullptr;

void Register(PendingWait* wait) {
  pthread_mutex_lock(&waitsLock);
  wait->next = waits;
  waits = wait;
  pthread_mutex_unlock(&waitsLock);
}

// Takes the wait off the list; returns its flags as they were at that moment.
void Unregister(PendingWait* wait, bool& maskChanged, bool& cancelled) {
  pthread_mutex_lock(&waitsLock);
  for (PendingWait** link = &waits; *link != nullptr; link = &(*link)->next) {
    if (*link == wait) {
      *link = wait->next;
      break;
    }
  }
  maskChanged = wait->maskChanged;
  cancelled = wait->cancelled;
  pthread_mutex_unlock(&waitsLock);
}

// Marks the file's pending waits that `select` picks; true if there was one.
template <typename Select>
bool MarkWaits(HANDLE file, Select select) {
  bool found = false;
  pthread_mutex_lock(&waitsLock);
  for (PendingWait* wait = waits; wait != nullptr; wait = wait->next) {
    if (wait->file == file && select(*wait)) found = true;
  }
  pthread_mutex_unlock(&waitsLock);
  return found;
}

// wine's wait ends when the event mask is set again, even to the same value.
void NudgeWineWait(HANDLE file) {
  std::uint32_t mask = 0;
  IoStatusBlock io{};
  if (nt.deviceIoControl(file, nullptr, nullptr, nullptr, &io, kGetWaitMask, nullptr, 0, &mask,
                         sizeof mask) == 0) {
    nt.deviceIoControl(file, nullptr, nullptr, nullptr, &io, kSetWaitMask, &mask, sizeof mask,
                       nullptr, 0);
  }
}

void Deliver(PendingWait* wait) {
  bool maskChanged = false;
  bool cancelled = false;
  Unregister(wait, maskChanged, cancelled);
  NTSTATUS status = wait->ownIo.status;
  std::uintptr_t information = wait->ownIo.information;
  std::uint32_t events = wait->ownEvents;
  if (status == kStatusCancelled && maskChanged && !cancelled && parts.mask) {
    status = kStatusSuccess;
    information = sizeof events;
    events = 0;
  } else if (status == kStatusCancelled && !cancelled && parts.modem &&
             IsHungUpTerminal(wait->file)) {
    status = kStatusDeviceNotReady;
  }
  // The caller may look at the status as soon as the event is set, not before.
  *wait->callerEvents = events;
  wait->callerIo->information = information;
  __atomic_store_n(&wait->callerIo->status, status, __ATOMIC_RELEASE);
  nt.setEvent(wait->callerEvent, nullptr);
  nt.close(wait->ownEvent);
  delete wait;
}

void WINAPI RelayWait(void* argument) {
  auto* wait = static_cast<PendingWait*>(argument);
  nt.waitForSingleObject(wait->ownEvent, 0, nullptr);
  Deliver(wait);
  nt.terminateThread(kCurrentThread, 0);
}

NTSTATUS RelayedCommWait(HANDLE file, HANDLE event, IoStatusBlock* io, void* in, ULONG inSize,
                         std::uint32_t* events) {
  auto* wait = new (std::nothrow) PendingWait{file, pthread_self(), event, io, events};
  if (wait == nullptr) return static_cast<NTSTATUS>(0xC0000017u);  // STATUS_NO_MEMORY
  NTSTATUS status =
      nt.createEvent(&wait->ownEvent, kEventAllAccess, nullptr, kNotificationEvent, 0);
  if (status != kStatusSuccess) {
    delete wait;
    return status;
  }
  Register(wait);
  nt.resetEvent(event, nullptr);
  status = nt.deviceIoControl(file, wait->ownEvent, nullptr, nullptr, &wait->ownIo, kWaitOnMask, in,
                              inSize, &wait->ownEvents, sizeof wait->ownEvents);
  if (status == kStatusPending) {
    io->information = 0;
    io->status = kStatusPending;
    HANDLE thread = nullptr;
    if (nt.createThreadEx(&thread, kThreadAllAccess, nullptr, kCurrentProcess, RelayWait, wait, 0,
                          0, 0, 0, nullptr) == kStatusSuccess) {
      nt.close(thread);
      return kStatusPending;
    }
    // No relay: end wine's wait here and report it cancelled.
    MarkWaits(file, [wait](PendingWait& each) {
      if (&each != wait) return false;
      each.cancelled = true;
      return true;
    });
    NudgeWineWait(file);
    nt.waitForSingleObject(wait->ownEvent, 0, nullptr);
    status = kStatusCancelled;
    wait->ownIo.status = status;
  } else {
    wait->ownIo.status = status;
  }
  Deliver(wait);
  return status;
}

NTSTATUS WINAPI BridgedDeviceIoControl(HANDLE file, HANDLE event, void* apc, void* apcContext,
                                       IoStatusBlock* io, ULONG code, void* in, ULONG inSize,
                                       void* out, ULONG outSize) {
  if (code == kSetWaitMask) {
    MarkWaits(file, [](PendingWait& wait) {
      wait.maskChanged = true;
      return true;
    });
  } else if (code == kWaitOnMask && event != nullptr && apc == nullptr && out != nullptr &&
             outSize == sizeof(std::uint32_t) && IsPseudoTerminalHandle(file)) {
    return RelayedCommWait(file, event, io, in, inSize, static_cast<std::uint32_t*>(out));
  }
  return nt.deviceIoControl(file, event, apc, apcContext, io, code, in, inSize, out, outSize);
}

// Ends the file's pending comm waits that `select` picks; true if there was one.
template <typename Select>
bool CancelWaits(HANDLE file, Select select) {
  const bool found = MarkWaits(file, [&select](PendingWait& wait) {
    if (!select(wait)) return false;
    wait.cancelled = true;
    return true;
  });
  if (found) NudgeWineWait(file);
  return found;
}

NTSTATUS WINAPI BridgedCancelIoFile(HANDLE file, IoStatusBlock* io) {
  const NTSTATUS status = nt.cancelIoFile(file, io);
  const pthread_t self = pthread_self();
  if (!CancelWaits(file, [self](const PendingWait& wait) {
        return pthread_equal(wait.issuer, self) != 0;
      })) {
    return status;
  }
  io->status = kStatusSuccess;
  io->information = 0;
  return kStatusSuccess;
}

NTSTATUS WINAPI BridgedCancelIoFileEx(HANDLE file, IoStatusBlock* request, IoStatusBlock* io) {
  const NTSTATUS status = nt.cancelIoFileEx(file, request, io);
  if (!CancelWaits(file, [request](const PendingWait& wait) {
        return request == nullptr || wait.callerIo == request;
      })) {
    return status;
  }
  io->status = kStatusSuccess;
  io->information = 0;
  return kStatusSuccess;
}

// ---- the syscall table ----

struct Segments {
  std::uintptr_t base;
  std::uintptr_t codeStart, codeEnd;
  std::uintptr_t dataStart[4], dataEnd[4];
  int dataCount;
};

int CollectSegments(dl_phdr_info* info, std::size_t, void* argument) {
  auto* segments = static_cast<Segments*>(argument);
  if (info->dlpi_addr != segments->base) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    const std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
    const std::uintptr_t end = start + header.p_memsz;
    if ((header.p_flags & PF_X) != 0) {
      segments->codeStart = start;
      segments->codeEnd = end;
    } else if ((header.p_flags & PF_W) != 0 && segments->dataCount < 4) {
      segments->dataStart[segments->dataCount] = start;
      segments->dataEnd[segments->dataCount++] = end;
    }
  }
  return 1;
}

// The dynamic loader reports addresses as numbers; they become pointers here.
void** Entries(std::uintptr_t address) {
  return reinterpret_cast<void**>(address);  // NOLINT(performance-no-int-to-ptr)
}

// The table lists the Nt calls in name order: NtReadFile, then NtReadFileScatter.
void** FindSyscallTable(const Segments& segments, void* readFile, void* readFileScatter,
                        std::size_t& count) {
  const auto isCode = [&segments](void* entry) {
    const auto address = reinterpret_cast<std::uintptr_t>(entry);
    return address >= segments.codeStart && address < segments.codeEnd;
  };
  for (int i = 0; i < segments.dataCount; ++i) {
    void** first = Entries((segments.dataStart[i] + 7) & ~std::uintptr_t{7});
    void** last = Entries(segments.dataEnd[i] & ~std::uintptr_t{7});
    for (void** entry = first; entry + 1 < last; ++entry) {
      if (entry[0] != readFile || entry[1] != readFileScatter) continue;
      void** start = entry;
      while (start > first && isCode(start[-1])) --start;
      void** end = entry;
      while (end < last && isCode(*end)) ++end;
      count = static_cast<std::size_t>(end - start);
      return start;
    }
  }
  return nullptr;
}

bool Patch(void** table, std::size_t count, void* original, void* replacement) {
  for (std::size_t i = 0; i < count; ++i) {
    if (table[i] != original) continue;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    char* start =
        reinterpret_cast<char*>(&table[i]) - reinterpret_cast<std::uintptr_t>(&table[i]) % page;
    if (mprotect(start, page, PROT_READ | PROT_WRITE) != 0) return false;
    table[i] = replacement;
    mprotect(start, page, PROT_READ);
    return true;
  }
  return false;
}

template <typename Function>
Function Symbol(void* library, const char* name) {
  return reinterpret_cast<Function>(dlsym(library, name));
}

void BridgeNtdll(void* library) {
  static bool done = false;
  if (done) return;
  done = true;
  nt.readFile = Symbol<ReadFileFn>(library, "NtReadFile");
  nt.deviceIoControl = Symbol<DeviceIoControlFn>(library, "NtDeviceIoControlFile");
  nt.cancelIoFile = Symbol<CancelIoFileFn>(library, "NtCancelIoFile");
  nt.cancelIoFileEx = Symbol<CancelIoFileExFn>(library, "NtCancelIoFileEx");
  nt.createEvent = Symbol<CreateEventFn>(library, "NtCreateEvent");
  nt.setEvent = Symbol<SetEventFn>(library, "NtSetEvent");
  nt.resetEvent = Symbol<SetEventFn>(library, "NtResetEvent");
  nt.waitForSingleObject = Symbol<WaitForSingleObjectFn>(library, "NtWaitForSingleObject");
  nt.close = Symbol<CloseFn>(library, "NtClose");
  nt.createThreadEx = Symbol<CreateThreadExFn>(library, "NtCreateThreadEx");
  nt.terminateThread = Symbol<TerminateThreadFn>(library, "NtTerminateThread");
  nt.handleToFd = Symbol<HandleToFdFn>(library, "wine_server_handle_to_fd");
  void* readFileScatter = dlsym(library, "NtReadFileScatter");

  link_map* map = nullptr;
  Segments segments{};
  if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0) {
    segments.base = map->l_addr;
    dl_iterate_phdr(CollectSegments, &segments);
  }
  std::size_t count = 0;
  void** table = nullptr;
  if (nt.readFile != nullptr && readFileScatter != nullptr && nt.handleToFd != nullptr) {
    table =
        FindSyscallTable(segments, reinterpret_cast<void*>(nt.readFile), readFileScatter, count);
  }
  // With a part off, its calls go to wine untouched.
  bool patched = table != nullptr;
  const auto hook = [&](bool wanted, auto original, auto replacement) {
    if (patched && wanted) {
      patched = Patch(table, count, reinterpret_cast<void*>(original),
                      reinterpret_cast<void*>(replacement));
    }
  };
  hook(parts.read, nt.readFile, BridgedReadFile);
  hook(parts.modem || parts.mask || parts.cancel, nt.deviceIoControl, BridgedDeviceIoControl);
  hook(parts.cancel, nt.cancelIoFile, BridgedCancelIoFile);
  hook(parts.cancel, nt.cancelIoFileEx, BridgedCancelIoFileEx);
  if (!patched) (void)std::fputs("wine bridge: ntdll.so's syscall table not found\n", stderr);
}

}  // namespace

extern "C" {

int ioctl(int fd, unsigned long request, ...) noexcept {
  if (realIoctl == nullptr) Initialise();  // called before the constructors ran
  va_list arguments;
  va_start(arguments, request);
  // va_start above; the analyzer loses track of it in this interposed function.
  void* argument = va_arg(arguments, void*);  // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(arguments);
  const int result = realIoctl(fd, request, argument);
  const bool modemRequest =
      request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
  if (result == 0 || !parts.modem || !modemRequest || !IsPseudoTerminal(fd) || HungUp(fd)) {
    return result;
  }
  if (request == TIOCMGET) {
    *static_cast<int*>(argument) = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
  }
  errno = 0;
  return 0;
}

void* dlopen(const char* file, int mode) noexcept {
  if (realDlopen == nullptr) Initialise();
  void* library = realDlopen(file, mode);
  const char* name = file != nullptr ? std::strrchr(file, '/') : nullptr;
  if (library != nullptr && name != nullptr && std::strcmp(name, "/ntdll.so") == 0) {
    BridgeNtdll(library);
  }
  return library;
}

}  // extern "C"
