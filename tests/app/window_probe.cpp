// Looks at a running Quarnelix Link from outside, as a second program would:
//   window_probe wait-visible <ms> | wait-hidden <ms> | close
// Exit code 0 when the dialog reached the state (or was told to close), 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

HWND FindDialog() { return FindWindowA(nullptr, "Quarnelix Link"); }

int WaitFor(bool visible, DWORD milliseconds) {
  const DWORD end = GetTickCount() + milliseconds;
  do {
    HWND dialog = FindDialog();
    if (dialog != nullptr && (IsWindowVisible(dialog) != FALSE) == visible) return 0;
    Sleep(50);
  } while (GetTickCount() < end);
  std::fprintf(stderr, "dialog not %s after %lu ms\n", visible ? "visible" : "hidden",
               static_cast<unsigned long>(milliseconds));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "wait-visible") == 0) {
    return WaitFor(true, static_cast<DWORD>(std::atol(argv[2])));
  }
  if (argc >= 3 && std::strcmp(argv[1], "wait-hidden") == 0) {
    return WaitFor(false, static_cast<DWORD>(std::atol(argv[2])));
  }
  if (argc >= 2 && std::strcmp(argv[1], "close") == 0) {
    HWND dialog = FindDialog();
    return dialog != nullptr && PostMessageA(dialog, WM_CLOSE, 0, 0) ? 0 : 1;
  }
  std::fprintf(stderr, "usage: window_probe wait-visible|wait-hidden <ms> | close\n");
  return 2;
}
