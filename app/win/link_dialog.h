// The control dialog: port and speed, start/stop, the start-up options, the
// tray icon and the hotkeys. Modeless, on the UI thread.
#pragma once

#include <windows.h>

#include <string>

#include "app/common/link_keeper.h"
#include "app/win/activity_status.h"
#include "app/win/performance_clock.h"
#include "app/win/serial_ports.h"
#include "app/win/tray_icon.h"
#include "serial/win/serial_wnd.h"

namespace ql {

struct LinkDialogContext {
  HWND mainWindow = nullptr;  // receives the port's notifications
  CSerialWnd* port = nullptr;
  TraySink* tray = nullptr;
  std::wstring settingsPath;
  HMENU trayMenu = nullptr;        // the tray popup, loaded at initialisation
  int trayIcon = 0;                // the icon the tray shows now
  std::string trayTip;             // and its tooltip: the status line's text
  PortSource ports = SystemPorts;  // what the port box lists
  LinkKeeper keeper{PortOpenProblem};
  PerformanceClock clock;
};

// Creates the dialog, hidden unless the settings say otherwise; `context`
// must outlive it.
HWND CreateLinkDialog(HINSTANCE instance, LinkDialogContext& context);

// Puts `text` in the dialog's status line and the tray icon's tooltip; on
// the UI thread.
void ShowLinkStatus(HWND dialog, const std::string& text);

// The speed chosen in the dialog, in baud; 0 when none is.
unsigned LinkSpeed(HWND dialog);

INT_PTR CALLBACK LinkDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace ql
