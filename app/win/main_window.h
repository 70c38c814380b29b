// The hidden main window that receives the serial notifications, the
// single-instance hand-over and the message loop.
#pragma once

#include <windows.h>

#include <functional>

namespace ql {

class CSerialWnd;

// Receives WM_SERIAL_EVENT with its parameters.
using SerialEventHandler = std::function<void(UINT message, WPARAM wParam, LPARAM lParam)>;

// When another copy runs, tells it to show or hide its dialog; true then.
bool HandOverToRunningInstance();

ATOM RegisterMainWindowClass(HINSTANCE instance);
// Never shown. `handler` receives the notifications of `port`'s listener;
// before each WM_SERIAL_EVENT reaches it, the window tells `port` that the
// notification was taken. Both must outlive the window.
HWND CreateMainWindow(HINSTANCE instance, CSerialWnd* port, SerialEventHandler* handler);

// Runs until WM_QUIT; returns its exit code. Without IsDialogMessage the
// dialog has no keyboard navigation, as the program has always behaved.
int RunMessageLoop();

}  // namespace ql
