// Looks at a running Quarnelix Link from outside, as a second program would:
//   window_probe wait-visible <ms> | wait-hidden <ms> | close
//   window_probe wait-status <text> <ms>
//   window_probe tray <program.exe> <ms>
//   window_probe code-page
//   window_probe run-unquoted <program.exe>
// Exit code 0 when the dialog reached the state (or was told to close), 1 otherwise.
//
// `tray` stands in for the shell's notification area for <ms>: it prints one
// line per notification it receives ("add open", "modify failed", "delete -"),
// naming the program's icon whose image came with it. `code-page` prints the
// ANSI code page a program started the same way gets. `run-unquoted` starts
// the program with its path, unquoted even when it holds a space, as its whole
// command line (as a Run key or a typed shortcut may), waits for it to end and
// exits with its exit code.
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/win/app_messages.h"
#include "app/win/tray_icon.h"
#include "res/resource.h"

namespace {

HWND FindDialog() { return FindWindowA(nullptr, ql::kDialogCaption); }

// Looks every 50 ms until `reached` says yes or `milliseconds` have passed.
template <typename Condition>
bool Await(DWORD milliseconds, Condition reached) {
  const DWORD end = GetTickCount() + milliseconds;
  do {
    if (reached()) return true;
    Sleep(50);
  } while (GetTickCount() < end);
  return false;
}

int WaitFor(bool visible, DWORD milliseconds) {
  if (Await(milliseconds, [visible] {
        HWND dialog = FindDialog();
        return dialog != nullptr && (IsWindowVisible(dialog) != FALSE) == visible;
      })) {
    return 0;
  }
  std::fprintf(stderr, "dialog not %s after %lu ms\n", visible ? "visible" : "hidden",
               static_cast<unsigned long>(milliseconds));
  return 1;
}

std::string StatusText() {
  char text[256] = {};
  HWND dialog = FindDialog();
  HWND status = dialog != nullptr ? GetDlgItem(dialog, IDC_STATUS) : nullptr;
  if (status != nullptr)
    SendMessageA(status, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

int WaitForStatus(const char* expected, DWORD milliseconds) {
  std::string seen;
  if (Await(milliseconds, [&] { return (seen = StatusText()) == expected; })) return 0;
  std::fprintf(stderr, "status \"%s\" after %lu ms, not \"%s\"\n", seen.c_str(),
               static_cast<unsigned long>(milliseconds), expected);
  return 1;
}

// ---- the notification area ----

struct Notification {
  DWORD operation;  // 0 add, 1 modify, 2 delete
  std::vector<unsigned char> data;
};
std::vector<Notification> received;

LRESULT CALLBACK TrayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COPYDATA) {
    const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    const auto* bytes = static_cast<const unsigned char*>(copy->lpData);
    received.push_back({static_cast<DWORD>(copy->dwData),
                        std::vector<unsigned char>(bytes, bytes + copy->cbData)});
    return TRUE;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

struct Reference {
  const char* name;
  std::vector<unsigned char> data;
};

// What the shell is sent for each of the program's icons, shown by the
// program's own code but from a window of this probe: the two differ only in
// the window handle.
std::vector<Reference> References(const char* program) {
  static const struct {
    int id;
    const char* name;
  } icons[] = {{IDI_APP, "app"},
               {IDI_PORT_OPEN, "open"},
               {IDI_PORT_CLOSED, "closed"},
               {IDI_PORT_FAILED, "failed"}};
  std::vector<Reference> references;
  HMODULE module = LoadLibraryExA(program, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  HWND owner =
      CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  if (module == nullptr || owner == nullptr) return references;
  for (const auto& icon : icons) {
    HICON image = static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(icon.id), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON),
                                                GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    received.clear();
    ql::CTrayIcon::Modify(owner, ql::kTrayIconId, image);
    if (received.size() == 1) references.push_back({icon.name, received[0].data});
    if (image != nullptr) DestroyIcon(image);
  }
  received.clear();
  DestroyWindow(owner);
  FreeLibrary(module);
  return references;
}

// Compares only the bytes in which the program's icons differ from one
// another: the window handle and the tooltip, which the references share,
// do not count.
const char* IconName(const std::vector<Reference>& references, const Notification& notification) {
  const char* best = "?";
  std::size_t fewest = SIZE_MAX;
  for (const auto& reference : references) {
    if (reference.data.size() != notification.data.size()) continue;
    std::size_t differing = 0;
    for (std::size_t i = 0; i < reference.data.size(); ++i) {
      bool varies = false;
      for (const auto& other : references) varies = varies || other.data[i] != reference.data[i];
      differing += varies && reference.data[i] != notification.data[i] ? 1 : 0;
    }
    if (differing < fewest) {
      fewest = differing;
      best = reference.name;
    }
  }
  return fewest == 0 ? best : "?";
}

int ActAsTray(const char* program, DWORD milliseconds) {
  WNDCLASSA trayClass{};
  trayClass.lpfnWndProc = TrayProc;
  trayClass.hInstance = GetModuleHandleA(nullptr);
  trayClass.lpszClassName = "Shell_TrayWnd";
  // Above the shell's own tray window, which the notifications would find first.
  HWND tray =
      RegisterClassA(&trayClass) != 0
          ? CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, trayClass.lpszClassName, "", WS_POPUP,
                            0, 0, 0, 0, nullptr, nullptr, trayClass.hInstance, nullptr)
          : nullptr;
  if (tray == nullptr) return 1;
  SetWindowPos(tray, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  const std::vector<Reference> references = References(program);
  if (references.size() != 4) {
    std::fprintf(stderr, "the shell's notifications of %s's icons could not be read\n", program);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  const DWORD end = GetTickCount() + milliseconds;
  while (GetTickCount() < end) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, end - GetTickCount(), QS_ALLINPUT);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    for (const auto& notification : received) {
      static const char* const operations[] = {"add", "modify", "delete"};
      std::printf("%s %s\n", notification.operation < 3 ? operations[notification.operation] : "?",
                  notification.operation == 2 ? "-" : IconName(references, notification));
    }
    received.clear();
    std::fflush(stdout);
  }
  DestroyWindow(tray);
  return 0;
}

// The path comes as UTF-16, so that a folder name the ANSI code page cannot
// hold reaches the program as it is.
int RunUnquoted() {
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr || count < 3) return 2;
  std::wstring commandLine = words[2];
  LocalFree(words);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "cannot start the program: error %lu\n", GetLastError());
    return 1;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "wait-visible") == 0) {
    return WaitFor(true, static_cast<DWORD>(std::atol(argv[2])));
  }
  if (argc >= 3 && std::strcmp(argv[1], "wait-hidden") == 0) {
    return WaitFor(false, static_cast<DWORD>(std::atol(argv[2])));
  }
  if (argc >= 4 && std::strcmp(argv[1], "wait-status") == 0) {
    return WaitForStatus(argv[2], static_cast<DWORD>(std::atol(argv[3])));
  }
  if (argc >= 4 && std::strcmp(argv[1], "tray") == 0) {
    return ActAsTray(argv[2], static_cast<DWORD>(std::atol(argv[3])));
  }
  if (argc >= 2 && std::strcmp(argv[1], "code-page") == 0) {
    std::printf("%u\n", GetACP());
    return 0;
  }
  if (argc >= 3 && std::strcmp(argv[1], "run-unquoted") == 0) return RunUnquoted();
  if (argc >= 2 && std::strcmp(argv[1], "close") == 0) {
    HWND dialog = FindDialog();
    return dialog != nullptr && PostMessageA(dialog, WM_CLOSE, 0, 0) ? 0 : 1;
  }
  std::fprintf(stderr,
               "usage: window_probe wait-visible|wait-hidden <ms> | wait-status <text> <ms> | "
               "tray <program.exe> <ms> | code-page | run-unquoted <program.exe> | close\n");
  return 2;
}
