// Quarnelix Link: serves a handheld's file manager over a serial line from
// the notification area.
#include <windows.h>
// After windows.h, whose types it uses.
#include <commctrl.h>

#include "app/win/activity_status.h"
#include "app/win/app_messages.h"
#include "app/win/link_dialog.h"
#include "app/win/main_window.h"
#include "app/win/performance_clock.h"
#include "app/win/settings_file.h"
#include "app/win/tray_icon.h"
#include "fs/windows_file_system.h"
#include "link/desktop_link.h"
#include "link/trace.h"
#include "serial/win/serial_link_port.h"
#include "serial/win/serial_wnd.h"

namespace {

// Live for the whole run; the port closes itself at exit if still open.
ql::CSerialWnd linkPort;
ql::SerialLinkPort linkPortView(linkPort);
ql::WindowsFileSystem fileSystem;
ql::PerformanceClock clock;
ql::DesktopLink desktopLink(linkPortView, fileSystem, clock);
ql::ShellTray shellTray;

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  if (ql::HandOverToRunningInstance()) return 0;
  // Temporaries of uploads that a run which ended without cleaning up left in C:\.
  fileSystem.RemoveAbandonedTemporaries();
  // The trace is for a developer's debugger.
  ql::SetTraceSink([](const std::string& line) { OutputDebugStringA(line.c_str()); });
  InitCommonControls();

  ql::LinkDialogContext dialog;
  HWND dialogWindow = nullptr;
  ql::SerialEventHandler onSerialEvent = [](UINT, WPARAM wParam, LPARAM lParam) {
    desktopLink.OnSerialEvent(wParam, static_cast<std::uintptr_t>(lParam));
  };
  // Reports come on the UI thread, from inside the window procedure.
  ql::ActivityReport report(ql::VirtualStoreFolder());
  desktopLink.SetActivitySink([&dialogWindow, &report](const ql::LinkActivity& activity) {
    const std::string text = report.TextFor(activity, ql::LinkSpeed(dialogWindow));
    if (!text.empty()) ql::ShowLinkStatus(dialogWindow, text);
  });
  ql::RegisterMainWindowClass(instance);
  dialog.mainWindow = ql::CreateMainWindow(instance, &linkPort, &onSerialEvent);
  dialog.port = &linkPort;
  dialog.tray = &shellTray;
  dialog.settingsPath = ql::SettingsFilePath();
  dialogWindow = ql::CreateLinkDialog(instance, dialog);
  return ql::RunMessageLoop();
}
