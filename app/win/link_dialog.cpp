#include "app/win/link_dialog.h"

#include <commctrl.h>
#include <dbt.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/common/status_texts.h"
#include "app/win/app_messages.h"
#include "app/win/hotkeys.h"
#include "app/win/settings_file.h"
#include "res/resource.h"
#include "serial/win/serial_link_port.h"

namespace ql {
namespace {

constexpr DWORD kQueueSize = 2048;

LinkDialogContext* Context(HWND dialog) {
  return reinterpret_cast<LinkDialogContext*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

// The start/stop button keeps whether the link runs.
LONG_PTR LinkFlag(HWND dialog) {
  return GetWindowLongPtrA(GetDlgItem(dialog, IDC_BTN_STARTSTOP), GWLP_USERDATA);
}

void SetLinkFlag(HWND dialog, LONG_PTR flag) {
  SetWindowLongPtrA(GetDlgItem(dialog, IDC_BTN_STARTSTOP), GWLP_USERDATA, flag);
}

void SendCommand(HWND dialog, WORD command) { SendMessageA(dialog, WM_COMMAND, command, 0); }

int Selection(HWND dialog, int box) {
  return static_cast<int>(SendDlgItemMessageA(dialog, box, CB_GETCURSEL, 0, 0));
}

// The number n of the port box's selected COMn; 0 when nothing is selected.
int SelectedPort(HWND dialog) {
  const int index = Selection(dialog, IDC_COMBO_PORT);
  if (index < 0) return 0;
  return static_cast<int>(
      SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
}

std::string PortName(int number) { return "COM" + std::to_string(number); }

// The selected port's name ("COM7"); empty when nothing is selected.
std::string PortText(HWND dialog) {
  const int number = SelectedPort(dialog);
  return number > 0 ? PortName(number) : std::string();
}

// The COM ports beyond COM4 that the system has now, in number order.
std::vector<int> PresentHighPorts() {
  std::vector<int> numbers;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                    &key) != ERROR_SUCCESS) {
    return numbers;
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD nameSize = sizeof name;
    char data[16];
    DWORD dataSize = sizeof data - 1;
    DWORD type = 0;
    const LONG result = RegEnumValueA(key, i, name, &nameSize, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &dataSize);
    if (result == ERROR_NO_MORE_ITEMS) break;
    // A value too long for a COM name (ERROR_MORE_DATA) or of another type is no port.
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataSize] = '\0';
    const int number = ComPortNumber(data);
    if (number > kPortCount) numbers.push_back(number);
  }
  RegCloseKey(key);
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  return numbers;
}

struct PortEntry {
  int number;
  std::string text;
};

// COM1 to COM4, then the ports beyond them that are present, with `keep`
// among them, marked absent, when it lies beyond COM4 and is not present.
std::vector<PortEntry> PortEntries(int keep) {
  std::vector<int> high = PresentHighPorts();
  const bool keepAbsent = keep > kPortCount && !std::binary_search(high.begin(), high.end(), keep);
  if (keepAbsent) high.insert(std::lower_bound(high.begin(), high.end(), keep), keep);
  std::vector<PortEntry> entries;
  for (int number = 1; number <= kPortCount; ++number)
    entries.push_back({number, PortName(number)});
  for (int number : high) {
    entries.push_back(
        {number, PortName(number) + (keepAbsent && number == keep ? " (absent)" : "")});
  }
  return entries;
}

std::vector<std::string> BoxTexts(HWND dialog) {
  std::vector<std::string> texts;
  const auto count = SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    char text[64] = "";
    if (SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) <
        static_cast<LRESULT>(sizeof text)) {
      SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_GETLBTEXT, static_cast<WPARAM>(i),
                          reinterpret_cast<LPARAM>(text));
    }
    texts.push_back(text);
  }
  return texts;
}

// Fills the port box anew with the ports present and `selected` (a port
// number, 0 for none) chosen; a box that already lists them is left alone.
void RefreshPortBox(HWND dialog, int selected) {
  const std::vector<PortEntry> entries = PortEntries(selected);
  std::vector<std::string> texts;
  for (const PortEntry& entry : entries) texts.push_back(entry.text);
  if (texts == BoxTexts(dialog) && SelectedPort(dialog) == selected) return;
  SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_RESETCONTENT, 0, 0);
  int selectedIndex = -1;
  for (const PortEntry& entry : entries) {
    const auto index = SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_ADDSTRING, 0,
                                           reinterpret_cast<LPARAM>(entry.text.c_str()));
    SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_SETITEMDATA, static_cast<WPARAM>(index),
                        static_cast<LPARAM>(entry.number));
    if (entry.number == selected) selectedIndex = static_cast<int>(index);
  }
  SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_SETCURSEL, static_cast<WPARAM>(selectedIndex), 0);
}

// The port the settings choose: LastPort 0 to 3 are COM1 to COM4; beyond
// them LastPortName decides, and without it the index among the ports
// present. 0 for none.
int RememberedPort(const LinkSettings& settings) {
  if (settings.lastPort < 0) return 0;
  if (settings.lastPort < kPortCount) return settings.lastPort + 1;
  const int named = ComPortNumber(settings.lastPortName.c_str());
  if (named > kPortCount) return named;
  const std::vector<int> high = PresentHighPorts();
  const auto index = static_cast<std::size_t>(settings.lastPort - kPortCount);
  return index < high.size() ? high[index] : 0;
}

void EnableBoxes(HWND dialog, BOOL enable) {
  EnableWindow(GetDlgItem(dialog, IDC_COMBO_PORT), enable);
  EnableWindow(GetDlgItem(dialog, IDC_COMBO_SPEED), enable);
}

void ShowTrayIcon(HWND dialog, LinkDialogContext& context, int icon) {
  context.trayIcon = icon;
  context.tray->Update(dialog, TrayAction::Modify, icon);
}

// Opens the selected port at the selected speed and says so; false, with
// nothing changed, when it cannot be opened.
bool OpenLink(HWND dialog, LinkDialogContext& context) {
  const std::string port = PortText(dialog);
  const UINT baud = GetDlgItemInt(dialog, IDC_COMBO_SPEED, nullptr, FALSE);
  // Without a port or a speed chosen there is nothing sensible to open.
  const bool chosen = !port.empty() && baud != 0;
  // The device name reaches every port, COM10 and beyond included.
  const std::string device = "\\\\.\\" + port;
  context.port->SetLossNotice(dialog, WM_SERIAL_LOST);
  if (!chosen || context.port->OpenForWindow(device.c_str(), context.mainWindow, WM_SERIAL_EVENT, 0,
                                             kQueueSize, kQueueSize) != kSuccess) {
    return false;
  }
  ShowTrayIcon(dialog, context, IDI_PORT_OPEN);
  ShowLinkStatus(dialog, PortOpenedText(port));
  EnableBoxes(dialog, FALSE);
  SetUpHandheldLine(*context.port, baud);
  return true;
}

void StartLink(HWND dialog, LinkDialogContext& context) {
  if (OpenLink(dialog, context)) return;
  ShowLinkStatus(dialog, PortOpenFailedText(PortText(dialog)));
  ShowTrayIcon(dialog, context, IDI_PORT_FAILED);
  SetDlgItemTextA(dialog, IDC_BTN_STARTSTOP, "Start");
  SetLinkFlag(dialog, 0);
}

void StopLink(HWND dialog, LinkDialogContext& context) {
  KillTimer(dialog, kReopenTimerId);
  context.port->ClosePort();
  ShowTrayIcon(dialog, context, IDI_PORT_CLOSED);
}

// The port went away while the link runs: close it, say so and try it again
// with the same settings until it is back or the user stops the link.
void OnPortLost(HWND dialog, LinkDialogContext& context) {
  // Only the port this listener served; a stop may have come first.
  if (LinkFlag(dialog) == 0 || !context.port->IsOpen()) return;
  context.port->ClosePort();
  ShowTrayIcon(dialog, context, IDI_PORT_FAILED);
  ShowLinkStatus(dialog, PortLostText(PortText(dialog)));
  SetTimer(dialog, kReopenTimerId, kReopenIntervalMs, nullptr);
}

void OnReopenTimer(HWND dialog, LinkDialogContext& context) {
  if (LinkFlag(dialog) == 0 || context.port->IsOpen() || OpenLink(dialog, context)) {
    KillTimer(dialog, kReopenTimerId);
  }
}

void ToggleLink(HWND dialog, LinkDialogContext& context) {
  if (LinkFlag(dialog) != 0) {
    SetDlgItemTextA(dialog, IDC_BTN_STARTSTOP, "Start");
    SetLinkFlag(dialog, 0);
    EnableBoxes(dialog, TRUE);
    ShowLinkStatus(dialog, PortClosedText(PortText(dialog)));
    StopLink(dialog, context);
  } else {
    SetDlgItemTextA(dialog, IDC_BTN_STARTSTOP, "Stop");
    SetLinkFlag(dialog, 1);
    StartLink(dialog, context);
  }
}

void ToggleVisibility(HWND dialog) {
  if (IsWindowVisible(dialog)) {
    ShowWindow(dialog, SW_HIDE);
  } else {
    ShowWindow(dialog, SW_SHOW);
    SetForegroundWindow(dialog);
  }
}

bool IsChecked(HWND dialog, int checkBox) {
  return IsDlgButtonChecked(dialog, checkBox) == BST_CHECKED;
}

unsigned HotkeyValue(HWND dialog, int hotkeyControl) {
  return static_cast<unsigned>(SendDlgItemMessageA(dialog, hotkeyControl, HKM_GETHOTKEY, 0, 0));
}

// The hotkey's id is its check box's id.
void ToggleHotkey(HWND dialog, int checkBox, int hotkeyControl) {
  if (!IsChecked(dialog, checkBox)) {
    UnregisterHotKey(dialog, checkBox);
    return;
  }
  const unsigned value = HotkeyValue(dialog, hotkeyControl);
  if (value != 0) RegisterHotkeyValue(dialog, checkBox, value);
}

LinkSettings ReadControls(HWND dialog) {
  LinkSettings settings;
  settings.lastPort = Selection(dialog, IDC_COMBO_PORT);
  const int port = SelectedPort(dialog);
  if (port > kPortCount) settings.lastPortName = PortName(port);
  settings.lastSpeed = Selection(dialog, IDC_COMBO_SPEED);
  settings.autoOpen = static_cast<int>(IsDlgButtonChecked(dialog, IDC_CHK_AUTO));
  settings.hide = static_cast<int>(IsDlgButtonChecked(dialog, IDC_CHK_HIDE));
  settings.showHide = static_cast<int>(IsDlgButtonChecked(dialog, IDC_CHK_SHOWHIDE));
  settings.startStop = static_cast<int>(IsDlgButtonChecked(dialog, IDC_CHK_STARTSTOP));
  settings.hotkeyShowHide = static_cast<int>(HotkeyValue(dialog, IDC_HOTKEY_SHOWHIDE));
  settings.hotkeyStartStop = static_cast<int>(HotkeyValue(dialog, IDC_HOTKEY_STARTSTOP));
  return settings;
}

void CloseProgram(HWND dialog, LinkDialogContext& context) {
  if (LinkFlag(dialog) != 0) StopLink(dialog, context);
  SaveSettings(context.settingsPath, ReadControls(dialog));
  context.tray->Update(dialog, TrayAction::Delete, 0);
  SendMessageA(context.mainWindow, WM_DESTROY, 0, 0);
  EndDialog(dialog, 0);
}

void FillBox(HWND dialog, int box, const char* text) {
  SendDlgItemMessageA(dialog, box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

// An index that names no entry leaves the box without a selection.
void Select(HWND dialog, int box, int index) {
  SendDlgItemMessageA(dialog, box, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void FillBoxes(HWND dialog, const LinkSettings& settings) {
  RefreshPortBox(dialog, RememberedPort(settings));
  for (unsigned speed : kSpeeds) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", speed);
    FillBox(dialog, IDC_COMBO_SPEED, text);
  }
  Select(dialog, IDC_COMBO_SPEED, settings.lastSpeed);
}

// The icons stay in use by the window, so they are the shared, never destroyed kind.
void SetDialogIcons(HWND dialog, HINSTANCE instance) {
  const struct {
    WPARAM which;
    int width;
    int height;
  } sizes[] = {{ICON_BIG, SM_CXICON, SM_CYICON}, {ICON_SMALL, SM_CXSMICON, SM_CYSMICON}};
  for (const auto& size : sizes) {
    HANDLE icon =
        LoadImageA(instance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, GetSystemMetrics(size.width),
                   GetSystemMetrics(size.height), LR_SHARED);
    SendMessageA(dialog, WM_SETICON, size.which, reinterpret_cast<LPARAM>(icon));
  }
}

void SetUpHotkeys(HWND dialog, const LinkSettings& settings) {
  CheckDlgButton(dialog, IDC_CHK_SHOWHIDE, static_cast<UINT>(settings.showHide));
  CheckDlgButton(dialog, IDC_CHK_STARTSTOP, static_cast<UINT>(settings.startStop));
  SendDlgItemMessageA(dialog, IDC_HOTKEY_SHOWHIDE, HKM_SETHOTKEY,
                      static_cast<WPARAM>(settings.hotkeyShowHide), 0);
  SendDlgItemMessageA(dialog, IDC_HOTKEY_STARTSTOP, HKM_SETHOTKEY,
                      static_cast<WPARAM>(settings.hotkeyStartStop), 0);
  if (settings.showHide == 1 && settings.hotkeyShowHide != 0) {
    RegisterHotkeyValue(dialog, IDC_CHK_SHOWHIDE, static_cast<unsigned>(settings.hotkeyShowHide));
  }
  if (settings.startStop == 1 && settings.hotkeyStartStop != 0) {
    RegisterHotkeyValue(dialog, IDC_CHK_STARTSTOP, static_cast<unsigned>(settings.hotkeyStartStop));
  }
}

void InitDialog(HWND dialog, LinkDialogContext& context) {
  const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
  const LinkSettings settings = LoadSettings(context.settingsPath);
  FillBoxes(dialog, settings);
  SetDialogIcons(dialog, instance);
  context.trayIcon = IDI_APP;
  context.tray->Update(dialog, TrayAction::Add, IDI_APP);
  SetUpHotkeys(dialog, settings);
  CheckDlgButton(dialog, IDC_CHK_AUTO, static_cast<UINT>(settings.autoOpen));
  CheckDlgButton(dialog, IDC_CHK_HIDE, static_cast<UINT>(settings.hide));
  SetLinkFlag(dialog, 0);
  context.trayMenu = GetSubMenu(LoadMenuA(instance, MAKEINTRESOURCEA(IDR_TRAY_MENU)), 0);
  if (settings.autoOpen != 0) SendCommand(dialog, IDC_BTN_STARTSTOP);
  if (settings.hide == 0) ShowWindow(dialog, SW_SHOW);
}

void OnCommand(HWND dialog, LinkDialogContext& context, WORD command, WORD notification) {
  switch (command) {
    case IDC_COMBO_PORT:
      if (notification == CBN_DROPDOWN) RefreshPortBox(dialog, SelectedPort(dialog));
      break;
    case IDC_BTN_STARTSTOP:
      ToggleLink(dialog, context);
      break;
    case IDC_BTN_SHOWHIDE:
      ToggleVisibility(dialog);
      break;
    case IDC_CHK_SHOWHIDE:
      ToggleHotkey(dialog, IDC_CHK_SHOWHIDE, IDC_HOTKEY_SHOWHIDE);
      break;
    case IDC_CHK_STARTSTOP:
      ToggleHotkey(dialog, IDC_CHK_STARTSTOP, IDC_HOTKEY_STARTSTOP);
      break;
    case ID_EXIT:
      SendMessageA(dialog, WM_CLOSE, 0, 0);
      break;
    default:
      break;
  }
}

void OnHotkey(HWND dialog, WPARAM id) {
  if (id == IDC_CHK_SHOWHIDE && IsChecked(dialog, IDC_CHK_SHOWHIDE)) {
    SendCommand(dialog, IDC_BTN_SHOWHIDE);
  } else if (id == IDC_CHK_STARTSTOP && IsChecked(dialog, IDC_CHK_STARTSTOP)) {
    SendCommand(dialog, IDC_BTN_STARTSTOP);
  }
}

void ShowTrayMenu(HWND dialog, const LinkDialogContext& context) {
  POINT cursor{};
  GetCursorPos(&cursor);
  SetForegroundWindow(dialog);
  TrackPopupMenu(context.trayMenu, TPM_RIGHTALIGN, cursor.x, cursor.y, 0, dialog, nullptr);
  // Without this the menu does not close when the user clicks elsewhere.
  PostMessageA(dialog, WM_NULL, 0, 0);
}

void OnTrayNotify(HWND dialog, const LinkDialogContext& context, LPARAM mouseMessage) {
  if (mouseMessage == WM_LBUTTONDBLCLK) {
    SendCommand(dialog, IDC_BTN_STARTSTOP);
  } else if (mouseMessage == WM_RBUTTONDOWN) {
    ShowTrayMenu(dialog, context);
  }
}

}  // namespace

HWND CreateLinkDialog(HINSTANCE instance, LinkDialogContext& context) {
  return CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_LINK), context.mainWindow,
                            LinkDialogProc, reinterpret_cast<LPARAM>(&context));
}

void ShowLinkStatus(HWND dialog, const std::string& text) {
  SetDlgItemTextA(dialog, IDC_STATUS, text.c_str());
}

INT_PTR CALLBACK LinkDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  // Broadcast by the shell when it starts again; its tray starts empty then.
  static const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    InitDialog(dialog, *reinterpret_cast<LinkDialogContext*>(lParam));
    return TRUE;
  }
  LinkDialogContext* context = Context(dialog);
  if (context == nullptr) return FALSE;  // messages that come before WM_INITDIALOG
  if (message == taskbarCreated && taskbarCreated != 0) {
    context->tray->Update(dialog, TrayAction::Add, context->trayIcon);
    return TRUE;
  }
  switch (message) {
    case WM_COMMAND:
      OnCommand(dialog, *context, LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_CLOSE:
      CloseProgram(dialog, *context);
      return TRUE;
    case WM_HOTKEY:
      OnHotkey(dialog, wParam);
      return TRUE;
    case WM_TRAY_NOTIFY:
      OnTrayNotify(dialog, *context, lParam);
      return TRUE;
    case WM_SERIAL_LOST:
      OnPortLost(dialog, *context);
      return TRUE;
    case WM_DEVICECHANGE:
      // A port came or went; the default answer stands for every query.
      if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE ||
          wParam == DBT_DEVNODES_CHANGED) {
        RefreshPortBox(dialog, SelectedPort(dialog));
      }
      return FALSE;
    case WM_TIMER:
      if (wParam != kReopenTimerId) return FALSE;
      OnReopenTimer(dialog, *context);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace ql
