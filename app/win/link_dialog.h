// The control dialog: port and speed, start/stop, the start-up options, the
// tray icon and the hotkeys. Modeless, on the UI thread.
#pragma once

#include <windows.h>

#include <string>

#include "app/win/tray_icon.h"
#include "link/link_activity.h"
#include "serial/win/serial_wnd.h"

namespace ql {

struct LinkDialogContext {
  HWND mainWindow = nullptr;  // receives the port's notifications
  CSerialWnd* port = nullptr;
  TraySink* tray = nullptr;
  std::wstring settingsPath;
  HMENU trayMenu = nullptr;  // the tray popup, loaded at initialisation
  int trayIcon = 0;          // the icon the tray shows now
};

// Creates the dialog, hidden unless the settings say otherwise; `context`
// must outlive it.
HWND CreateLinkDialog(HINSTANCE instance, LinkDialogContext& context);

// Puts `text` in the dialog's status line; on the UI thread.
void ShowLinkStatus(HWND dialog, const std::string& text);

// The folder where Windows keeps what this program writes to folders its
// user may not write to (%LOCALAPPDATA%\VirtualStore), when the program runs
// with file virtualization (an older program on Vista and later, without
// administrator rights); empty otherwise, and always on Windows XP.
std::string VirtualStoreFolder();

// The status line's text for an upload stored as `activity.text` ("C:\memo.txt")
// that file virtualization put under `virtualStore` instead: where it really
// is. Empty for every other activity, without a virtual store, and when the
// file is where its path says.
std::string StoredUploadText(const LinkActivity& activity, const std::string& virtualStore);

INT_PTR CALLBACK LinkDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace ql
