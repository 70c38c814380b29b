// The notification-area icon that shows the link's state.
#pragma once

#include <windows.h>

#include <string>

namespace ql {

// One Shell_NotifyIconA call per operation, callback WM_TRAY_NOTIFY; `tip`
// is the tooltip, cut by character to what the shell holds.
class CTrayIcon {
 public:
  static BOOL Add(HWND owner, UINT id, HICON icon, const char* tip = "");
  static BOOL Modify(HWND owner, UINT id, HICON icon, const char* tip = "");
  static BOOL Delete(HWND owner, UINT id, HICON icon);
};

enum class TrayAction { Add, Modify, Delete };

// What the dialog does to its tray icon; tests record it instead.
class TraySink {
 public:
  virtual ~TraySink() = default;
  // `iconResource` names one of the program's icons, 0 with Delete; `tip`
  // is the tooltip, the status line's last text.
  virtual void Update(HWND owner, TrayAction action, int iconResource, const std::string& tip) = 0;
};

// Loads the icon from the program's resources, hands it to the shell, which
// keeps its own copy, and destroys it again.
class ShellTray final : public TraySink {
 public:
  void Update(HWND owner, TrayAction action, int iconResource, const std::string& tip) override;
};

}  // namespace ql
