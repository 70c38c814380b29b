// The Windows front end against the real user32 (under wine in CI): settings
// file, control dialog, tray icon and hotkeys. COM ports come from the
// wrapper script: QL_TEST_PTY_PORT is linked to a pseudo terminal that
// receives a byte every 50 ms, QL_TEST_MISSING_PORT names no device.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, whose types it uses.
#include <commctrl.h>
#include <dbt.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/win/activity_status.h"
#include "app/win/app_messages.h"
#include "app/win/hotkeys.h"
#include "app/win/link_dialog.h"
#include "app/win/main_window.h"
#include "app/win/settings_file.h"
#include "link/trace.h"
#include "res/resource.h"

namespace ql {
namespace {

constexpr char kFailureTail[] = "! (probably used by another application (maybe MS ActiveSync) )";

struct TrayCall {
  TrayAction action;
  int icon;
};

class RecordingTray final : public TraySink {
 public:
  void Update(HWND, TrayAction action, int iconResource) override {
    if (action == TrayAction::Delete && onDelete) onDelete();
    calls.push_back({action, iconResource});
  }
  int LastIcon() const { return calls.empty() ? 0 : calls.back().icon; }

  std::vector<TrayCall> calls;
  std::function<void()> onDelete;
};

// Names given here are ASCII.
std::wstring TempPath(const std::string& name) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return dir + std::wstring(name.begin(), name.end());
}

std::string ReadWholeFile(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The keys in file order with their values, "Key=value" each.
std::vector<std::string> SavedKeys(const std::wstring& path) {
  std::vector<std::string> keys;
  std::istringstream lines(ReadWholeFile(path));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('=') != std::string::npos) keys.push_back(line);
  }
  return keys;
}

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

// The index of COMn in the port box.
std::string PortIndex(const std::string& port) { return std::to_string(port[3] - '1'); }

// Delivers what is posted to this thread's windows; true when WM_QUIT came.
bool Pump(DWORD milliseconds = 0) {
  const DWORD end = GetTickCount() + milliseconds;
  bool quit = false;
  do {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) quit = true;
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (milliseconds != 0) Sleep(10);
  } while (GetTickCount() < end);
  return quit;
}

bool HotkeyIsFree(UINT modifiers, UINT key) {
  HWND probe = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  const bool free = RegisterHotKey(probe, 1, modifiers, key) != FALSE;
  DestroyWindow(probe);
  return free;
}

void PressKeys(std::initializer_list<WORD> keys) {
  std::vector<INPUT> inputs;
  for (WORD key : keys) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    inputs.push_back(input);
  }
  for (auto it = keys.end(); it != keys.begin();) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = *--it;
    input.ki.dwFlags = KEYEVENTF_KEYUP;
    inputs.push_back(input);
  }
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

TEST(SettingsFileTest, ValuesParseLikeTheProgramAlwaysDid) {
  const std::wstring path = TempPath("ql_parse.ini");
  std::ofstream(path.c_str(), std::ios::binary)
      << "[options]\r\nLastPort= 12\r\nLastSpeed=-1\r\nAuto=x\r\nHide=7z\r\n";
  const LinkSettings settings = LoadSettings(path);
  EXPECT_EQ(settings.lastPort, 12);
  EXPECT_EQ(settings.lastSpeed, -1);
  EXPECT_EQ(settings.autoOpen, 0);
  EXPECT_EQ(settings.hide, 7);
  EXPECT_EQ(settings.hotkeyStartStop, 0);  // missing key
  DeleteFileW(path.c_str());

  EXPECT_EQ(LoadSettings(TempPath("ql_no_such_file.ini")).lastSpeed, 0);
}

TEST(SettingsFileTest, OnlyAPortBeyondCom4IsRememberedByName) {
  const std::wstring path = TempPath("ql_port_name.ini");
  const struct {
    const char* stored;
    const char* loaded;
  } cases[] = {{"COM12", "COM12"}, {"com256", "com256"}, {"COM4", ""},
               {"COM012", ""},     {"COM257", ""},       {"COM7x", ""},
               {"COM", ""},        {"LPT7", ""},         {"COM99999999", ""}};
  for (const auto& c : cases) {
    std::ofstream(path.c_str(), std::ios::binary)
        << "[options]\r\nLastPortName=" << c.stored << "\r\n";
    EXPECT_EQ(LoadSettings(path).lastPortName, c.loaded) << c.stored;
  }
  // Written after the eight while such a port is chosen, gone once it is not.
  LinkSettings settings;
  settings.lastPort = 5;
  settings.lastPortName = "COM12";
  DeleteFileW(path.c_str());
  SaveSettings(path, settings);
  EXPECT_EQ(SavedKeys(path).back(), "LastPortName=COM12");
  settings.lastPortName.clear();
  SaveSettings(path, settings);
  EXPECT_EQ(SavedKeys(path).size(), 8u);
  EXPECT_EQ(SavedKeys(path).back(), "HotkeyStartStop=0");
  DeleteFileW(path.c_str());
}

TEST(HotkeyTest, ControlFlagsBecomeRegistrationModifiers) {
  EXPECT_EQ(HotkeyModifiers(884), static_cast<UINT>(MOD_CONTROL | MOD_SHIFT));  // Ctrl+Shift+F5
  EXPECT_EQ(884u & 0xFF, static_cast<unsigned>(VK_F5));
  EXPECT_EQ(HotkeyModifiers(HOTKEYF_ALT << 8 | 'A'), static_cast<UINT>(MOD_ALT));
  EXPECT_EQ(HotkeyModifiers(HOTKEYF_EXT << 8 | VK_HOME), 0u);
  EXPECT_EQ(HotkeyModifiers(0x0F41), static_cast<UINT>(MOD_ALT | MOD_CONTROL | MOD_SHIFT));
}

LinkActivity FailedUpload(const std::string& path, Status status, const char* reason = "") {
  LinkActivity failed(LinkActivity::Kind::kUploadFailed, path);
  failed.status = status;
  failed.reason = reason;
  return failed;
}

TEST(ActivityStatusTest, AFailedStoreNamesTheFileItsFolderAndWhy) {
  EXPECT_EQ(ActivityStatusText(FailedUpload("C:\\memo.txt", ERROR_ACCESS_DENIED)),
            "Unable to store memo.txt in C:\\ (access denied)");
  EXPECT_EQ(ActivityStatusText(FailedUpload("C:\\a b\\x.y", ERROR_HANDLE_DISK_FULL)),
            "Unable to store x.y in C:\\a b\\ (disk full)");
  EXPECT_EQ(ActivityStatusText(FailedUpload("C:\\m", ERROR_ALREADY_EXISTS)),
            "Unable to store m in C:\\ (file exists)");
  EXPECT_EQ(ActivityStatusText(FailedUpload("C:\\m", ERROR_LOCK_VIOLATION)),
            "Unable to store m in C:\\ (in use by another program)");
  // The core's own words when the system gave no code; a code wins over them.
  EXPECT_EQ(ActivityStatusText(FailedUpload("C:\\m", kSuccess, "too big")),
            "Unable to store m in C:\\ (too big)");
  EXPECT_EQ(ActivityStatusText(FailedUpload("C:\\m", ERROR_PATH_NOT_FOUND, "too big")),
            "Unable to store m in C:\\ (folder not found)");
  EXPECT_EQ(ActivityStatusText(FailedUpload("", kSuccess, "no name came with it")),
            "Unable to store an upload (no name came with it)");
}

TEST(ActivityStatusTest, OtherCodesInTheSystemsWordsOrByNumber) {
  const std::string notFound = SystemErrorWords(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(notFound.empty());
  EXPECT_NE(notFound, "error 2");
  EXPECT_EQ(notFound.find_first_of("\r\n"), std::string::npos) << notFound;
  EXPECT_NE(notFound.back(), '.') << notFound;
  EXPECT_EQ(SystemErrorWords(0x2000ABCD), "error 536914893");
}

TEST(ActivityStatusTest, OnlyAFailedUploadIsShown) {
  for (const auto kind : {LinkActivity::Kind::kUploadStored, LinkActivity::Kind::kUploadNameRefused,
                          LinkActivity::Kind::kUploadCutShort, LinkActivity::Kind::kReceiving,
                          LinkActivity::Kind::kSending, LinkActivity::Kind::kFileUnreadable}) {
    LinkActivity activity(kind, "C:\\memo.txt");
    activity.status = ERROR_ACCESS_DENIED;
    EXPECT_EQ(ActivityStatusText(activity), "") << static_cast<int>(kind);
  }
}

// Shift-JIS, whatever the system's own code page: there 0x95 0x5C is one
// character (表), and so is 0x83 0x5C (ソ).
class ShiftJis final : public HandheldCharset {
 public:
  bool IsLeadByte(unsigned char byte) const override {
    return IsDBCSLeadByteEx(932, byte) != FALSE;
  }
};

TEST(ActivityStatusTest, APathDividesAtItsLastSeparatorThatIsACharacter) {
  const struct {
    const char* path;
    const char* folder;
    const char* name;
  } cases[] = {
      {"C:\\\x95\\.txt", "C:\\", "\x95\\.txt"},
      {"C:\\\x95\\\\memo.txt", "C:\\\x95\\\\", "memo.txt"},
      {"C:\\a\\\x83\\", "C:\\a\\", "\x83\\"},
      {"C:\\a/b", "C:\\a/", "b"},
      {"C:\\\x95", "C:\\", "\x95"},  // a lead byte with nothing after it
      {"memo.txt", "", "memo.txt"},
  };
  for (const auto& c : cases) {
    const FolderAndName parts = SplitFolderAndName(c.path, ShiftJis());
    EXPECT_EQ(parts.folder, c.folder) << c.path;
    EXPECT_EQ(parts.name, c.name) << c.path;
  }
}

// Uploads go to C:\ and stay there as far as the program can see; with file
// virtualization Windows keeps them in the user's virtual store, and the
// status line says so.
TEST(ActivityStatusTest, AStoredUploadKeptInTheVirtualStoreIsNamedThere) {
  const std::wstring store = TempPath("ql_virtual_store");
  const std::string shownStore(store.begin(), store.end());  // the test's temporary folder is ASCII
  CreateDirectoryW(store.c_str(), nullptr);
  CreateDirectoryW((store + L"\\sub").c_str(), nullptr);
  for (const wchar_t* name : {L"\\memo.txt", L"\\sub\\x.y"}) {
    std::ofstream((store + name).c_str(), std::ios::binary) << "contents";
  }
  LinkActivity failed(LinkActivity::Kind::kUploadFailed, "C:\\memo.txt");
  LinkActivity named(LinkActivity::Kind::kUploadNameTaken, "C:\\memo.txt");
  const struct {
    LinkActivity activity;
    std::wstring store;
    std::string shown;
  } cases[] = {
      {LinkActivity(LinkActivity::Kind::kUploadStored, "C:\\memo.txt"), store,
       "Stored memo.txt in " + shownStore + "\\"},
      {LinkActivity(LinkActivity::Kind::kUploadStored, "C:\\sub\\x.y"), store,
       "Stored x.y in " + shownStore + "\\sub\\"},
      // Stored in C:\ itself: the store has no such file, or there is no store.
      {LinkActivity(LinkActivity::Kind::kUploadStored, "C:\\other.txt"), store, ""},
      {LinkActivity(LinkActivity::Kind::kUploadStored, "C:\\memo.txt"), L"", ""},
      {failed, store, ""},
      {named, store, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StoredUploadText(c.activity, c.store), c.shown) << c.activity.text;
  }
  for (const wchar_t* name : {L"\\memo.txt", L"\\sub\\x.y"}) DeleteFileW((store + name).c_str());
  RemoveDirectoryW((store + L"\\sub").c_str());
  RemoveDirectoryW(store.c_str());
}

class LinkDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    InitCommonControls();
    RegisterMainWindowClass(GetModuleHandleA(nullptr));
  }

  void SetUp() override {
    static int run = 0;
    context.settingsPath = TempPath("ql_dialog_" + std::to_string(++run) + ".ini");
    DeleteFileW(context.settingsPath.c_str());
    context.mainWindow = CreateMainWindow(GetModuleHandleA(nullptr), &port, &onSerialEvent);
    context.port = &port;
    context.tray = &tray;
    SetTraceSink([this](const std::string& line) { trace.push_back(line); });
  }

  void TearDown() override {
    SetTraceSink({});
    if (port.IsOpen()) port.ClosePort();
    DestroyWindow(context.mainWindow);  // also destroys the dialog it owns
    Pump();
    DeleteFileW(context.settingsPath.c_str());
  }

  void WriteSettings(const std::string& lines) {
    std::ofstream(context.settingsPath.c_str(), std::ios::binary) << "[options]\r\n" << lines;
  }

  void Open() { dialog = CreateLinkDialog(GetModuleHandleA(nullptr), context); }

  std::string Text(int id) const {
    char text[256] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
  }
  bool Enabled(int id) const { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
  UINT Checked(int id) const { return IsDlgButtonChecked(dialog, id); }
  void Command(WORD id) const { SendMessageA(dialog, WM_COMMAND, id, 0); }
  bool Visible() const { return IsWindowVisible(dialog) != FALSE; }

  void ExpectStopped() const {
    EXPECT_EQ(Text(IDC_BTN_STARTSTOP), "Start");
    EXPECT_TRUE(Enabled(IDC_COMBO_PORT));
    EXPECT_TRUE(Enabled(IDC_COMBO_SPEED));
    EXPECT_FALSE(port.IsOpen());
  }

  CSerialWnd port;
  RecordingTray tray;
  int serialEvents = 0;
  LPARAM lastTag = -1;
  SerialEventHandler onSerialEvent = [this](UINT, WPARAM, LPARAM tag) {
    ++serialEvents;
    lastTag = tag;
  };
  LinkDialogContext context;
  HWND dialog = nullptr;
  std::vector<std::string> trace;
  const std::string ptyPort = EnvOr("QL_TEST_PTY_PORT", "");
  const std::string missingPort = EnvOr("QL_TEST_MISSING_PORT", "COM3");
};

TEST_F(LinkDialogTest, WithoutSettingsFileShowsDefaultsAndSavesEveryKeyOnClose) {
  Open();
  EXPECT_EQ(Text(IDC_COMBO_PORT), "COM1");
  EXPECT_EQ(Text(IDC_COMBO_SPEED), "19200");
  for (int box : {IDC_CHK_AUTO, IDC_CHK_HIDE, IDC_CHK_SHOWHIDE, IDC_CHK_STARTSTOP}) {
    EXPECT_EQ(Checked(box), static_cast<UINT>(BST_UNCHECKED)) << box;
  }
  EXPECT_TRUE(Visible());
  EXPECT_EQ(Text(IDC_STATUS), "");
  EXPECT_EQ(Text(IDC_BTN_STARTSTOP), "&Start");
  EXPECT_FALSE(port.IsOpen());
  ASSERT_EQ(tray.calls.size(), 1u);
  EXPECT_EQ(tray.calls[0].action, TrayAction::Add);
  EXPECT_EQ(tray.calls[0].icon, IDI_APP);
  EXPECT_TRUE(trace.empty());  // no hotkey registered

  SendMessageA(dialog, WM_CLOSE, 0, 0);
  EXPECT_EQ(SavedKeys(context.settingsPath),
            (std::vector<std::string>{"LastPort=0", "LastSpeed=0", "Auto=0", "Hide=0", "ShowHide=0",
                                      "StartStop=0", "HotkeyShowHide=0", "HotkeyStartStop=0"}));
  EXPECT_EQ(tray.calls.back().action, TrayAction::Delete);
  EXPECT_TRUE(Pump());
}

TEST_F(LinkDialogTest, UnknownIndexesAndUnusedHotkeysAreSavedBack) {
  WriteSettings(
      "LastPort=9\r\nLastSpeed=-1\r\nHide=1\r\nShowHide=0\r\nHotkeyShowHide=884\r\n"
      "StartStop=1\r\nHotkeyStartStop=0\r\n");
  Open();
  EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_GETCURSEL, 0, 0), CB_ERR);
  EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_COMBO_SPEED, CB_GETCURSEL, 0, 0), CB_ERR);
  EXPECT_FALSE(Visible());
  EXPECT_TRUE(trace.empty());
  EXPECT_TRUE(HotkeyIsFree(MOD_CONTROL | MOD_SHIFT, VK_F5));

  SendMessageA(dialog, WM_CLOSE, 0, 0);
  // Keys already in the file keep their place there; new ones are appended.
  std::vector<std::string> saved = SavedKeys(context.settingsPath);
  std::sort(saved.begin(), saved.end());
  EXPECT_EQ(saved,
            (std::vector<std::string>{"Auto=0", "Hide=1", "HotkeyShowHide=884", "HotkeyStartStop=0",
                                      "LastPort=-1", "LastSpeed=-1", "ShowHide=0", "StartStop=1"}));
}

TEST_F(LinkDialogTest, ShowHideHotkeyIsRegisteredAndToggles) {
  WriteSettings("ShowHide=1\r\nHotkeyShowHide=884\r\n");
  Open();
  EXPECT_EQ(trace, std::vector<std::string>{"1"});
  EXPECT_FALSE(HotkeyIsFree(MOD_CONTROL | MOD_SHIFT, VK_F5));
  EXPECT_TRUE(HotkeyIsFree(MOD_CONTROL, VK_F5));

  ASSERT_TRUE(Visible());
  PressKeys({VK_CONTROL, VK_SHIFT, VK_F5});
  Pump(300);
  EXPECT_FALSE(Visible());

  // Unchecking the box gives the key back; checking it takes it again.
  CheckDlgButton(dialog, IDC_CHK_SHOWHIDE, BST_UNCHECKED);
  Command(IDC_CHK_SHOWHIDE);
  EXPECT_TRUE(HotkeyIsFree(MOD_CONTROL | MOD_SHIFT, VK_F5));
  CheckDlgButton(dialog, IDC_CHK_SHOWHIDE, BST_CHECKED);
  Command(IDC_CHK_SHOWHIDE);
  EXPECT_FALSE(HotkeyIsFree(MOD_CONTROL | MOD_SHIFT, VK_F5));
  UnregisterHotKey(dialog, IDC_CHK_SHOWHIDE);
}

TEST_F(LinkDialogTest, HotkeysActOnlyWhileTheirBoxIsChecked) {
  WriteSettings("LastPort=" + PortIndex(missingPort) + "\r\nHotkeyStartStop=885\r\n");
  Open();
  SendMessageA(dialog, WM_HOTKEY, IDC_CHK_SHOWHIDE, 0);
  SendMessageA(dialog, WM_HOTKEY, IDC_CHK_STARTSTOP, 0);
  EXPECT_TRUE(Visible());
  EXPECT_EQ(Text(IDC_STATUS), "");

  CheckDlgButton(dialog, IDC_CHK_STARTSTOP, BST_CHECKED);
  SendMessageA(dialog, WM_HOTKEY, IDC_CHK_STARTSTOP, 0);
  EXPECT_EQ(Text(IDC_STATUS), "Unable open " + missingPort + kFailureTail);
  CheckDlgButton(dialog, IDC_CHK_SHOWHIDE, BST_CHECKED);
  SendMessageA(dialog, WM_HOTKEY, IDC_CHK_SHOWHIDE, 0);
  EXPECT_FALSE(Visible());
}

std::string MenuItemText(HMENU menu, int position) {
  char text[64] = "";
  GetMenuStringA(menu, static_cast<UINT>(position), text, sizeof text, MF_BYPOSITION);
  return text;
}

bool menuSeen = false;

// Runs inside the popup menu's own message loop.
void CALLBACK CloseMenuSoon(HWND, UINT, UINT_PTR, DWORD) {
  HWND menuWindow = FindWindowA("#32768", nullptr);
  menuSeen = menuWindow != nullptr && IsWindowVisible(menuWindow);
  EndMenu();
}

TEST_F(LinkDialogTest, RightClickOnTheTrayIconPopsUpItsMenu) {
  Open();
  ASSERT_NE(context.trayMenu, nullptr);
  ASSERT_EQ(GetMenuItemCount(context.trayMenu), 4);
  EXPECT_EQ(MenuItemText(context.trayMenu, 0), "&Start / Stop");
  EXPECT_EQ(GetMenuItemID(context.trayMenu, 0), static_cast<UINT>(IDC_BTN_STARTSTOP));
  EXPECT_EQ(MenuItemText(context.trayMenu, 1), "Show / &Hide");
  EXPECT_EQ(GetMenuItemID(context.trayMenu, 1), static_cast<UINT>(IDC_BTN_SHOWHIDE));
  EXPECT_EQ(GetMenuState(context.trayMenu, 2, MF_BYPOSITION) & MF_SEPARATOR,
            static_cast<UINT>(MF_SEPARATOR));
  EXPECT_EQ(MenuItemText(context.trayMenu, 3), "E&xit");
  EXPECT_EQ(GetMenuItemID(context.trayMenu, 3), static_cast<UINT>(ID_EXIT));

  const UINT_PTR timer = SetTimer(nullptr, 0, 200, CloseMenuSoon);
  SendMessageA(dialog, WM_TRAY_NOTIFY, kTrayIconId, WM_RBUTTONDOWN);
  KillTimer(nullptr, timer);
  EXPECT_TRUE(menuSeen);
  EXPECT_FALSE(port.IsOpen());  // dismissing the menu chooses nothing
}

TEST_F(LinkDialogTest, AutoOpenOnMissingPortFailsAndStaysHidden) {
  WriteSettings("LastPort=" + PortIndex(missingPort) + "\r\nAuto=1\r\nHide=1\r\n");
  Open();
  EXPECT_FALSE(Visible());
  EXPECT_EQ(Text(IDC_STATUS), "Unable open " + missingPort + kFailureTail);
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_FAILED);
  ExpectStopped();

  Command(IDC_BTN_STARTSTOP);  // a retry fails the same way and stays stopped
  EXPECT_EQ(Text(IDC_STATUS), "Unable open " + missingPort + kFailureTail);
  ExpectStopped();
}

TEST_F(LinkDialogTest, StartWithoutPortOrSpeedOpensNothing) {
  WriteSettings("LastPort=-1\r\n");
  Open();
  Command(IDC_BTN_STARTSTOP);
  EXPECT_EQ(Text(IDC_STATUS), std::string("Unable open ") + kFailureTail);
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_FAILED);
  ExpectStopped();

  if (ptyPort.empty()) GTEST_SKIP() << "no COM port linked to a pseudo terminal";
  SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_SETCURSEL, ptyPort[3] - '1', 0);
  SendDlgItemMessageA(dialog, IDC_COMBO_SPEED, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  Command(IDC_BTN_STARTSTOP);
  EXPECT_EQ(Text(IDC_STATUS), "Unable open " + ptyPort + kFailureTail);
  ExpectStopped();
}

TEST_F(LinkDialogTest, StartStopAndCloseOnAnOpenPort) {
  if (ptyPort.empty()) GTEST_SKIP() << "no COM port linked to a pseudo terminal";
  WriteSettings("LastPort=" + PortIndex(ptyPort) + "\r\nLastSpeed=3\r\n");
  Open();

  Command(IDC_BTN_STARTSTOP);
  EXPECT_EQ(Text(IDC_STATUS), ptyPort + " opened.");
  EXPECT_EQ(Text(IDC_BTN_STARTSTOP), "Stop");
  EXPECT_FALSE(Enabled(IDC_COMBO_PORT));
  EXPECT_FALSE(Enabled(IDC_COMBO_SPEED));
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_OPEN);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.QueryBaudRate(), 115200u);
  // The wrapper keeps writing to the other end; the main window takes each
  // notification, so that the listener posts the next.
  Pump(500);
  EXPECT_GT(serialEvents, 1);
  EXPECT_EQ(lastTag, 0);

  Command(IDC_BTN_STARTSTOP);
  EXPECT_EQ(Text(IDC_STATUS), ptyPort + " closed");
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_CLOSED);
  ExpectStopped();

  // The tray icon's double-click is the same toggle.
  SendMessageA(dialog, WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONDBLCLK);
  EXPECT_EQ(Text(IDC_STATUS), ptyPort + " opened.");
  ASSERT_TRUE(port.IsOpen());

  // Closing stops the link and saves before the tray icon goes; then the loop ends.
  bool closedAndSaved = false;
  tray.onDelete = [&] {
    closedAndSaved = !port.IsOpen() && SavedKeys(context.settingsPath).size() == 8;
  };
  Command(ID_EXIT);
  EXPECT_TRUE(closedAndSaved);
  EXPECT_EQ(SavedKeys(context.settingsPath)[0], "LastPort=" + PortIndex(ptyPort));
  EXPECT_TRUE(Pump());
}

TEST_F(LinkDialogTest, ALostPortIsShownReopenedByItselfAndStopEndsTheRetrying) {
  if (ptyPort.empty()) GTEST_SKIP() << "no COM port linked to a pseudo terminal";
  WriteSettings("LastPort=" + PortIndex(ptyPort) + "\r\nLastSpeed=2\r\n");
  Open();
  Command(IDC_BTN_STARTSTOP);
  ASSERT_TRUE(port.IsOpen());

  const std::string lostText = ptyPort + " went away; trying to open it again every 2 s.";
  SendMessageA(dialog, WM_SERIAL_LOST, ERROR_BAD_COMMAND, 0);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_FAILED);
  EXPECT_EQ(Text(IDC_STATUS), lostText);
  EXPECT_EQ(Text(IDC_BTN_STARTSTOP), "Stop");
  EXPECT_FALSE(Enabled(IDC_COMBO_PORT));

  Pump(2500);  // the port is there again: the link resumes with its settings
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.QueryBaudRate(), 57600u);
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_OPEN);
  EXPECT_EQ(Text(IDC_STATUS), ptyPort + " opened.");

  SendMessageA(dialog, WM_SERIAL_LOST, ERROR_BAD_COMMAND, 0);
  Command(IDC_BTN_STARTSTOP);
  EXPECT_EQ(Text(IDC_STATUS), ptyPort + " closed");
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_CLOSED);
  Pump(2500);
  ExpectStopped();
  // A notification that comes after the stop changes nothing.
  SendMessageA(dialog, WM_SERIAL_LOST, ERROR_BAD_COMMAND, 0);
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_CLOSED);
}

TEST_F(LinkDialogTest, ARestartedShellGetsTheIconOfTheCurrentStateBack) {
  WriteSettings("LastPort=" + PortIndex(missingPort) + "\r\nHide=1\r\n");
  Open();
  const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
  SendMessageA(dialog, taskbarCreated, 0, 0);
  ASSERT_EQ(tray.calls.size(), 2u);
  EXPECT_EQ(tray.calls[1].action, TrayAction::Add);
  EXPECT_EQ(tray.calls[1].icon, IDI_APP);

  Command(IDC_BTN_STARTSTOP);  // fails: the red icon
  // The shell tells every top-level window, the hidden dialog too.
  PostMessageA(HWND_BROADCAST, taskbarCreated, 0, 0);
  Pump(200);
  EXPECT_EQ(tray.calls.back().action, TrayAction::Add);
  EXPECT_EQ(tray.calls.back().icon, IDI_PORT_FAILED);
}

// Registers COMn as the system does, or takes it away again.
void SetSystemPort(int number, bool present) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                            REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::string device = "\\Device\\QlTest" + std::to_string(number);
  const std::string name = "COM" + std::to_string(number);
  if (present) {
    RegSetValueExA(key, device.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                   static_cast<DWORD>(name.size() + 1));
  } else {
    RegDeleteValueA(key, device.c_str());
  }
  RegCloseKey(key);
}

TEST_F(LinkDialogTest, PortsBeyondCom4FollowTheSystemAndTheChosenOneKeepsItsName) {
  SetSystemPort(40, true);
  SetSystemPort(41, false);
  WriteSettings("LastPort=4\r\nLastPortName=COM41\r\nAuto=1\r\n");
  Open();
  const auto entries = [this] {
    std::vector<std::string> texts;
    const auto count = SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      char text[64] = "";
      SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_GETLBTEXT, static_cast<WPARAM>(i),
                          reinterpret_cast<LPARAM>(text));
      texts.push_back(text);
    }
    return texts;
  };
  // COM1 to COM4 first, whatever the system has; then the others in number order.
  std::vector<std::string> shown = entries();
  ASSERT_GE(shown.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(shown.begin(), shown.begin() + 4),
            (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
  EXPECT_EQ(shown.end()[-2], "COM40");
  EXPECT_EQ(shown.back(), "COM41 (absent)") << "remembered, not present";
  EXPECT_EQ(Text(IDC_COMBO_PORT), "COM41 (absent)");
  EXPECT_EQ(Text(IDC_STATUS), "Unable open COM41" + std::string(kFailureTail));
  ExpectStopped();

  // Ports come and go; the chosen one stays chosen.
  SetSystemPort(41, true);
  SetSystemPort(40, false);
  SendMessageA(dialog, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
  shown = entries();
  EXPECT_EQ(std::count(shown.begin(), shown.end(), "COM40"), 0);
  EXPECT_EQ(Text(IDC_COMBO_PORT), "COM41");
  SetSystemPort(40, true);
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_COMBO_PORT, CBN_DROPDOWN), 0);
  EXPECT_EQ(entries().end()[-2], "COM40");
  EXPECT_EQ(Text(IDC_COMBO_PORT), "COM41");
  const auto index = SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_GETCURSEL, 0, 0);
  SetSystemPort(40, false);
  SetSystemPort(41, false);

  SendMessageA(dialog, WM_CLOSE, 0, 0);
  const std::vector<std::string> saved = SavedKeys(context.settingsPath);
  EXPECT_EQ(saved.front(), "LastPort=" + std::to_string(index));
  EXPECT_EQ(std::count(saved.begin(), saved.end(), "LastPortName=COM41"), 1);
}

}  // namespace
}  // namespace ql
