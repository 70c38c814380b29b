#include "app/win/tray_icon.h"

#include <shellapi.h>

#include <cstddef>
#include <cstring>
#include <string_view>

#include "app/win/app_messages.h"
#include "fs/windows_file_system.h"
#include "link/handheld_charset.h"

namespace ql {
namespace {

// The layout of Windows 2000 and later, whose tooltip holds 127 bytes
// where the first one's held 63; XP's shell takes it.
static_assert(sizeof(void*) != 4 || NOTIFYICONDATAA_V2_SIZE == 488, "tray record layout");

// `text` cut to at most `size` - 1 bytes, never inside a character of the
// ANSI code page; "..." marks a cut.
void CopyTip(const char* text, char* tip, std::size_t size) {
  const std::size_t room = size - 1;
  const std::size_t length = std::strlen(text);
  if (length <= room) {
    std::memcpy(tip, text, length + 1);
    return;
  }
  const std::size_t kept = FitChars(std::string_view(text, length), room - 3, AnsiCharset());
  std::memcpy(tip, text, kept);
  std::memcpy(tip + kept, "...", 4);
}

BOOL Notify(DWORD operation, HWND owner, UINT id, HICON icon, const char* tip) {
  NOTIFYICONDATAA data{};
  data.cbSize = NOTIFYICONDATAA_V2_SIZE;
  data.hWnd = owner;
  data.uID = id;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = WM_TRAY_NOTIFY;
  data.hIcon = icon;
  CopyTip(tip, data.szTip, sizeof data.szTip);
  return Shell_NotifyIconA(operation, &data);
}

}  // namespace

BOOL CTrayIcon::Add(HWND owner, UINT id, HICON icon, const char* tip) {
  return Notify(NIM_ADD, owner, id, icon, tip);
}

BOOL CTrayIcon::Modify(HWND owner, UINT id, HICON icon, const char* tip) {
  return Notify(NIM_MODIFY, owner, id, icon, tip);
}

BOOL CTrayIcon::Delete(HWND owner, UINT id, HICON icon) {
  return Notify(NIM_DELETE, owner, id, icon, "");
}

void ShellTray::Update(HWND owner, TrayAction action, int iconResource, const std::string& tip) {
  if (action == TrayAction::Delete) {
    CTrayIcon::Delete(owner, kTrayIconId, nullptr);
    return;
  }
  auto icon = static_cast<HICON>(
      LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(iconResource), IMAGE_ICON,
                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  if (action == TrayAction::Add) {
    CTrayIcon::Add(owner, kTrayIconId, icon, tip.c_str());
  } else {
    CTrayIcon::Modify(owner, kTrayIconId, icon, tip.c_str());
  }
  if (icon != nullptr) DestroyIcon(icon);
}

}  // namespace ql
