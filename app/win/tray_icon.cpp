#include "app/win/tray_icon.h"

#include <shellapi.h>

#include "app/win/app_messages.h"

namespace ql {
namespace {

// The shell of every Windows version accepts the first, smallest layout.
static_assert(sizeof(void*) != 4 || NOTIFYICONDATAA_V1_SIZE == 88, "tray record layout");

BOOL Notify(DWORD operation, HWND owner, UINT id, HICON icon) {
  NOTIFYICONDATAA data{};
  data.cbSize = NOTIFYICONDATAA_V1_SIZE;
  data.hWnd = owner;
  data.uID = id;
  data.uFlags = NIF_MESSAGE | NIF_ICON;
  data.uCallbackMessage = WM_TRAY_NOTIFY;
  data.hIcon = icon;
  return Shell_NotifyIconA(operation, &data);
}

}  // namespace

BOOL CTrayIcon::Add(HWND owner, UINT id, HICON icon) { return Notify(NIM_ADD, owner, id, icon); }

BOOL CTrayIcon::Modify(HWND owner, UINT id, HICON icon) {
  return Notify(NIM_MODIFY, owner, id, icon);
}

BOOL CTrayIcon::Delete(HWND owner, UINT id, HICON icon) {
  return Notify(NIM_DELETE, owner, id, icon);
}

void ShellTray::Update(HWND owner, TrayAction action, int iconResource) {
  if (action == TrayAction::Delete) {
    CTrayIcon::Delete(owner, kTrayIconId, nullptr);
    return;
  }
  auto icon = static_cast<HICON>(
      LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(iconResource), IMAGE_ICON,
                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  if (action == TrayAction::Add) {
    CTrayIcon::Add(owner, kTrayIconId, icon);
  } else {
    CTrayIcon::Modify(owner, kTrayIconId, icon);
  }
  if (icon != nullptr) DestroyIcon(icon);
}

}  // namespace ql
