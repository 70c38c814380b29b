// The notification-area icon that shows the link's state.
#pragma once

#include <windows.h>

namespace ql {

// One Shell_NotifyIconA call per operation; no tooltip, callback WM_TRAY_NOTIFY.
class CTrayIcon {
 public:
  static BOOL Add(HWND owner, UINT id, HICON icon);
  static BOOL Modify(HWND owner, UINT id, HICON icon);
  static BOOL Delete(HWND owner, UINT id, HICON icon);
};

enum class TrayAction { Add, Modify, Delete };

// What the dialog does to its tray icon; tests record it instead.
class TraySink {
 public:
  virtual ~TraySink() = default;
  // `iconResource` names one of the program's icons; 0 with Delete.
  virtual void Update(HWND owner, TrayAction action, int iconResource) = 0;
};

// Loads the icon from the program's resources, hands it to the shell, which
// keeps its own copy, and destroys it again.
class ShellTray final : public TraySink {
 public:
  void Update(HWND owner, TrayAction action, int iconResource) override;
};

}  // namespace ql
