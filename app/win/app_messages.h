// Window messages, names and command numbers that tie the program's windows
// together and that a second instance relies on.
#pragma once

#include <windows.h>

namespace ql {

// Posted by the serial listener to the main window.
constexpr UINT WM_SERIAL_EVENT = WM_USER + 100;
// Posted by the serial listener to the dialog when the port is gone; first
// parameter: the failure's status code.
constexpr UINT WM_SERIAL_LOST = WM_USER + 101;
// The tray icon's callback message to the dialog.
constexpr UINT WM_TRAY_NOTIFY = WM_USER + 5;

constexpr UINT kTrayIconId = 100;
// The dialog's timer that tries a lost port again.
constexpr UINT_PTR kReopenTimerId = 1;
// Main window command that destroys it and so ends the message loop.
constexpr WORD kCmdDestroyMain = 105;

constexpr char kMainWindowClass[] = "SerialClass";
constexpr char kMainWindowTitle[] = "serial";
// A second instance finds the first one by this caption.
constexpr char kDialogCaption[] = "Quarnelix Link";

}  // namespace ql
