// Works the port box of a running quarnelix_link.exe from another process,
// as a user would, for the wine tests.
//
//   port_box_probe list          opens and closes the box, then prints its entries, one a line
//   port_box_probe drop          opens the box's list and leaves it open
//   port_box_probe start COMn    chooses the entry of that port, whatever its text
//                                says of it, and starts the link
//
// Exit status 0 when done, 1 when the dialog or the entry is not there.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/win/app_messages.h"
#include "res/resource.h"

namespace {

std::vector<std::string> Entries(HWND box) {
  std::vector<std::string> entries;
  const LRESULT count = SendMessageA(box, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    // Asked for in UTF-16: wine hands an ANSI request from another process
    // the entry's UTF-16 text. The names are ASCII.
    wchar_t text[128] = L"";
    if (SendMessageW(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) < 128) {
      SendMessageW(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
    }
    std::string entry;
    for (const wchar_t* c = text; *c != L'\0'; ++c) entry += static_cast<char>(*c);
    entries.push_back(entry);
  }
  return entries;
}

}  // namespace

int main(int argc, char** argv) {
  HWND dialog = FindWindowA(nullptr, ql::kDialogCaption);
  HWND box = dialog != nullptr ? GetDlgItem(dialog, IDC_COMBO_PORT) : nullptr;
  if (box == nullptr) {
    std::fprintf(stderr, "no dialog with its port box\n");
    return 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "drop") == 0) {
    SendMessageA(box, CB_SHOWDROPDOWN, TRUE, 0);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "list") == 0) {
    SendMessageA(box, CB_SHOWDROPDOWN, TRUE, 0);
    SendMessageA(box, CB_SHOWDROPDOWN, FALSE, 0);
    for (const std::string& entry : Entries(box)) std::printf("%s\n", entry.c_str());
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "start") == 0) {
    // Each entry's item data is its port's number.
    const int number = std::atoi(argv[2] + std::strspn(argv[2], "COM"));
    const LRESULT count = SendMessageA(box, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      if (SendMessageA(box, CB_GETITEMDATA, static_cast<WPARAM>(i), 0) != number) continue;
      SendMessageA(box, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
      SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_COMBO_PORT, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(box));
      SendMessageA(dialog, WM_COMMAND, IDC_BTN_STARTSTOP, 0);
      return 0;
    }
    std::fprintf(stderr, "no entry %s\n", argv[2]);
    return 1;
  }
  std::fprintf(stderr, "usage: port_box_probe list | drop | start COMn\n");
  return 2;
}
