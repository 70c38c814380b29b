#include "app/win/link_dialog.h"

#include <commctrl.h>
#include <dbt.h>

#include <cstdio>

#include "app/common/status_texts.h"
#include "app/win/app_messages.h"
#include "app/win/hotkeys.h"
#include "app/win/port_box.h"
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

HWND PortBox(HWND dialog) { return GetDlgItem(dialog, IDC_COMBO_PORT); }

// The selected port's name ("COM7"); empty when nothing is selected.
std::string PortText(HWND dialog) { return SelectedPortName(PortBox(dialog)); }

// Lists the ports present again; the selection stays, and while the link is
// stopped a lone USB port that turns up is chosen when nothing is.
void RefreshPorts(HWND dialog, const LinkDialogContext& context) {
  RefreshPortBox(PortBox(dialog), context.ports, SelectedPort(PortBox(dialog)),
                 !context.keeper.Running());
}

void EnableBoxes(HWND dialog, BOOL enable) {
  EnableWindow(GetDlgItem(dialog, IDC_COMBO_PORT), enable);
  EnableWindow(GetDlgItem(dialog, IDC_COMBO_SPEED), enable);
}

void ShowTrayIcon(HWND dialog, LinkDialogContext& context, int icon) {
  context.trayIcon = icon;
  context.tray->Update(dialog, TrayAction::Modify, icon, context.trayTip);
}

int TrayIconOf(LinkKeeper::Look look) {
  switch (look) {
    case LinkKeeper::Look::kOpen:
      return IDI_PORT_OPEN;
    case LinkKeeper::Look::kFailed:
      return IDI_PORT_FAILED;
    case LinkKeeper::Look::kClosed:
    case LinkKeeper::Look::kUnchanged:
      break;
  }
  return IDI_PORT_CLOSED;
}

// Opens the port the link was started on at the selected speed.
Status OpenPort(HWND dialog, LinkDialogContext& context) {
  const UINT baud = LinkSpeed(dialog);
  // The device name reaches every port, COM10 and beyond included.
  const std::string device = "\\\\.\\" + context.keeper.Port();
  context.port->SetLossNotice(dialog, WM_SERIAL_LOST);
  const Status opened = context.port->OpenForWindow(device.c_str(), context.mainWindow,
                                                    WM_SERIAL_EVENT, 0, kQueueSize, kQueueSize);
  // As the handheld's line always was: a speed the device refuses still leaves it open.
  if (opened == kSuccess) SetUpHandheldLine(*context.port, baud);
  return opened;
}

// The keeper's state on the dialog: the button, the link flag and the
// boxes, which stay disabled while the link runs.
void ShowLinkState(HWND dialog, const LinkDialogContext& context) {
  const bool running = context.keeper.Running();
  SetDlgItemTextA(dialog, IDC_BTN_STARTSTOP, running ? "Stop" : "Start");
  SetLinkFlag(dialog, running ? 1 : 0);
  EnableBoxes(dialog, running ? FALSE : TRUE);
}

// Does what the keeper orders, then shows its state.
void Carry(HWND dialog, LinkDialogContext& context, LinkKeeper::Orders orders) {
  for (;;) {
    if (orders.close) context.port->ClosePort();
    if (!orders.status.empty()) ShowLinkStatus(dialog, orders.status);
    if (orders.look != LinkKeeper::Look::kUnchanged) {
      ShowTrayIcon(dialog, context, TrayIconOf(orders.look));
    }
    if (orders.retry == LinkKeeper::Orders::Retry::kArm) {
      SetTimer(dialog, kReopenTimerId, static_cast<UINT>(orders.retryInMs), nullptr);
    } else if (orders.retry == LinkKeeper::Orders::Retry::kCancel) {
      KillTimer(dialog, kReopenTimerId);
    }
    if (!orders.open) break;
    const Status opened = OpenPort(dialog, context);
    orders = context.keeper.Opened(opened, context.port->Generation());
  }
  ShowLinkState(dialog, context);
}

void ToggleLink(HWND dialog, LinkDialogContext& context) {
  if (LinkFlag(dialog) != 0) {
    Carry(dialog, context, context.keeper.Stop());
    return;
  }
  const std::string port = PortText(dialog);
  if (port.empty() || LinkSpeed(dialog) == 0) {
    ShowLinkStatus(dialog, port.empty() ? "Choose a port first." : "Choose a speed first.");
    ShowTrayIcon(dialog, context, IDI_PORT_FAILED);
    ShowLinkState(dialog, context);
    return;
  }
  Carry(dialog, context, context.keeper.Start(port));
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
  if (SelectedPort(PortBox(dialog)) > kPortCount) settings.lastPortName = PortText(dialog);
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
  if (LinkFlag(dialog) != 0) Carry(dialog, context, context.keeper.Stop());
  SaveSettings(context.settingsPath, ReadControls(dialog));
  context.tray->Update(dialog, TrayAction::Delete, 0, std::string());
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

void FillBoxes(HWND dialog, const LinkDialogContext& context, const LinkSettings& settings) {
  RefreshPortBox(PortBox(dialog), context.ports, RememberedPort(settings), true);
  // Never chosen: COM1, the first entry, unless a lone USB adapter was.
  if (settings.lastPort == kLastPortNotSaved && SelectedPort(PortBox(dialog)) == 0) {
    Select(dialog, IDC_COMBO_PORT, 0);
  }
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
  FillBoxes(dialog, context, settings);
  SetDialogIcons(dialog, instance);
  context.trayIcon = IDI_APP;
  context.trayTip = kDialogCaption;
  context.tray->Update(dialog, TrayAction::Add, IDI_APP, context.trayTip);
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
      if (notification == CBN_DROPDOWN) RefreshPorts(dialog, context);
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
  LinkDialogContext* context = Context(dialog);
  if (context == nullptr || context->trayTip == text) return;
  context->trayTip = text;
  context->tray->Update(dialog, TrayAction::Modify, context->trayIcon, text);
}

unsigned LinkSpeed(HWND dialog) { return GetDlgItemInt(dialog, IDC_COMBO_SPEED, nullptr, FALSE); }

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
    context->tray->Update(dialog, TrayAction::Add, context->trayIcon, context->trayTip);
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
      Carry(dialog, *context,
            context->keeper.Lost(static_cast<Status>(wParam), static_cast<std::uint32_t>(lParam),
                                 context->clock.NowMs()));
      return TRUE;
    case WM_DEVICECHANGE:
      // A port came or went; the default answer stands for every query.
      if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE ||
          wParam == DBT_DEVNODES_CHANGED) {
        RefreshPorts(dialog, *context);
      }
      return FALSE;
    case WM_TIMER:
      if (wParam != kReopenTimerId) return FALSE;
      // The keeper sets it again when it is to run again.
      KillTimer(dialog, kReopenTimerId);
      Carry(dialog, *context, context->keeper.Tick(context->clock.NowMs()));
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace ql
