// The Windows front end against the real user32 (under wine in CI): settings
// file, control dialog, tray icon and hotkeys. COM ports come from the
// wrapper script: QL_TEST_PTY_PORT and QL_TEST_HIGH_PTY_PORT (beyond COM4)
// are linked to a pseudo terminal that receives a byte every 50 ms,
// QL_TEST_MISSING_PORT names no device.
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
#include "app/win/port_box.h"
#include "app/win/settings_file.h"
#include "link/trace.h"
#include "res/resource.h"

namespace ql {
namespace {

struct TrayCall {
  TrayAction action;
  int icon;
};

class RecordingTray final : public TraySink {
 public:
  void Update(HWND, TrayAction action, int iconResource, const std::string& tip) override {
    lastTip = tip;
    if (action == TrayAction::Delete && onDelete) onDelete();
    calls.push_back({action, iconResource});
  }
  int LastIcon() const { return calls.empty() ? 0 : calls.back().icon; }

  std::vector<TrayCall> calls;
  std::string lastTip;
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

  const LinkSettings none = LoadSettings(TempPath("ql_no_such_file.ini"));
  EXPECT_EQ(none.lastSpeed, 0);
  EXPECT_EQ(none.lastPort, kLastPortNotSaved);  // COM1, unless a lone USB adapter is there
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

std::string StatusText(const LinkActivity& activity) {
  ActivityReport report(L"");
  return report.TextFor(activity, 115200);
}

TEST(ActivityStatusTest, AFailedStoreNamesTheFileItsFolderAndWhy) {
  EXPECT_EQ(StatusText(FailedUpload("C:\\memo.txt", ERROR_ACCESS_DENIED)),
            "Unable to store memo.txt in C:\\ (access denied)");
  EXPECT_EQ(StatusText(FailedUpload("C:\\a b\\x.y", ERROR_HANDLE_DISK_FULL)),
            "Unable to store x.y in C:\\a b\\ (disk full)");
  EXPECT_EQ(StatusText(FailedUpload("C:\\m", ERROR_ALREADY_EXISTS)),
            "Unable to store m in C:\\ (file exists)");
  EXPECT_EQ(StatusText(FailedUpload("C:\\m", ERROR_LOCK_VIOLATION)),
            "Unable to store m in C:\\ (in use by another program)");
  // The core's own words when the system gave no code; a code wins over them.
  EXPECT_EQ(StatusText(FailedUpload("C:\\m", kSuccess, "too big")),
            "Unable to store m in C:\\ (too big)");
  EXPECT_EQ(StatusText(FailedUpload("C:\\m", ERROR_PATH_NOT_FOUND, "too big")),
            "Unable to store m in C:\\ (folder not found)");
  EXPECT_EQ(StatusText(FailedUpload("", kSuccess, "no name came with it")),
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

TEST(ActivityStatusTest, TransfersAreToldAndAWrongSpeedOnceForEachRunOfGarbleAndSpeed) {
  using Kind = LinkActivity::Kind;
  const auto activity = [](Kind kind, const char* path, std::uint64_t bytes, Status status) {
    LinkActivity made(kind, path);
    made.bytes = bytes;
    made.status = status;
    return made;
  };
  const std::string hint =
      "Bytes arrive that make no command: the handheld is probably not at 57600; try 19200, "
      "38400 or 115200.";
  const std::string otherHint =
      "Bytes arrive that make no command: the handheld is probably not at 115200; try 19200, "
      "38400 or 57600.";
  const struct {
    LinkActivity activity;
    std::string shown;  // empty: the status line stays
    unsigned baud = 57600;
  } steps[] = {
      {activity(Kind::kUploadStored, "C:\\memo.txt", 1500, kSuccess),
       "Stored memo.txt in C:\\ (1.5 KB)"},
      {activity(Kind::kFileSent, "C:\\a\\b.bin", 2000000, kSuccess),
       "Sent b.bin from C:\\a\\ (2.0 MB)"},
      {activity(Kind::kTransferEnded, "C:\\a\\b.bin", 4096, ERROR_ACCESS_DENIED),
       "Sending b.bin stopped after 4.1 KB (access denied)"},
      {activity(Kind::kUploadCutShort, "C:\\m.txt", 10, ERROR_GEN_FAILURE), ""},
      {activity(Kind::kListingSent, "C:\\*.*", 90, kSuccess), ""},
      {activity(Kind::kSending, "C:\\a\\b.bin", 10, kSuccess), ""},
      {activity(Kind::kGarbled, "", 3, kSuccess), ""},
      {activity(Kind::kGarbled, "", 3, kSuccess), ""},
      {activity(Kind::kGarbled, "", 3, kSuccess), hint},
      {activity(Kind::kGarbled, "", 3, kSuccess), ""},
      {activity(Kind::kListingSent, "C:\\*.*", 90, kSuccess), ""},
      {activity(Kind::kGarbled, "", 3, kSuccess), ""},
      {activity(Kind::kGarbled, "", 3, kSuccess), ""},
      {activity(Kind::kGarbled, "", 3, kSuccess), hint},
      // The user tried another speed, and garble goes on: told again, of that speed.
      {activity(Kind::kGarbled, "", 3, kSuccess), "", 115200},
      {activity(Kind::kGarbled, "", 3, kSuccess), "", 115200},
      {activity(Kind::kGarbled, "", 3, kSuccess), otherHint, 115200},
  };
  ActivityReport report(L"");
  for (const auto& step : steps) {
    const std::string shown = report.TextFor(step.activity, step.baud);
    if (step.activity.kind == Kind::kUploadCutShort) {
      EXPECT_EQ(shown.rfind("Upload of m.txt cut short after 10 B (", 0), 0u) << shown;
    } else {
      EXPECT_EQ(shown, step.shown) << static_cast<int>(step.activity.kind);
    }
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
  const struct {
    LinkActivity activity;
    std::wstring store;
    std::string shown;
  } cases[] = {
      {LinkActivity(LinkActivity::Kind::kUploadStored, "C:\\memo.txt"), store,
       "Stored memo.txt in " + shownStore + "\\ (0 B)"},
      {LinkActivity(LinkActivity::Kind::kUploadStored, "C:\\sub\\x.y"), store,
       "Stored x.y in " + shownStore + "\\sub\\ (0 B)"},
      // Stored in C:\ itself: the store has no such file, or there is no store.
      {LinkActivity(LinkActivity::Kind::kUploadStored, "C:\\other.txt"), store,
       "Stored other.txt in C:\\ (0 B)"},
      {LinkActivity(LinkActivity::Kind::kUploadStored, "C:\\memo.txt"), L"",
       "Stored memo.txt in C:\\ (0 B)"},
  };
  for (const auto& c : cases) {
    ActivityReport report(c.store);
    EXPECT_EQ(report.TextFor(c.activity, 115200), c.shown) << c.activity.text;
  }
  for (const wchar_t* name : {L"\\memo.txt", L"\\sub\\x.y"}) DeleteFileW((store + name).c_str());
  RemoveDirectoryW((store + L"\\sub").c_str());
  RemoveDirectoryW(store.c_str());
}

TEST(PortBoxTest, EntriesReadAndSelectAsThePortsPresentSay) {
  const std::string longName(60, 'X');
  const struct {
    const char* what;
    std::vector<PortFacts> present;
    int wanted;
    bool mayChoose;
    std::vector<std::string> texts;
    int selected;
  } cases[] = {
      {"nothing present",
       {},
       0,
       true,
       {"COM1 (absent)", "COM2 (absent)", "COM3 (absent)", "COM4 (absent)"},
       0},
      {"a lone USB port is chosen",
       {{7, "USB-SERIAL CH340 (COM7)", true}, {1, "Communications Port (COM1)", false}},
       0,
       true,
       {"COM1: Communications Port", "COM2 (absent)", "COM3 (absent)", "COM4 (absent)",
        "COM7: USB-SERIAL CH340"},
       7},
      {"not while the link runs",
       {{7, "", true}},
       0,
       false,
       {"COM1 (absent)", "COM2 (absent)", "COM3 (absent)", "COM4 (absent)", "COM7"},
       0},
      {"nor among two",
       {{9, "", true}, {5, "", true}, {2, "", false}},
       0,
       true,
       {"COM1 (absent)", "COM2", "COM3 (absent)", "COM4 (absent)", "COM5", "COM9"},
       0},
      {"the wanted port wins, absent or not",
       {{7, "", true}, {3, "", false}},
       12,
       true,
       {"COM1 (absent)", "COM2 (absent)", "COM3", "COM4 (absent)", "COM7", "COM12 (absent)"},
       12},
      {"an absent low port keeps its place",
       {},
       2,
       false,
       {"COM1 (absent)", "COM2 (absent)", "COM3 (absent)", "COM4 (absent)"},
       2},
      {"names from outside fit one line",
       {{5, "Line\r\nTwo\tthree  (com5)", false},
        {6, longName + " (COM6)", false},
        {8, "COM8", false},
        {10, "\x01\x7f ", false},
        {11, "Modem (COM12)", false}},
       0,
       true,
       {"COM1 (absent)", "COM2 (absent)", "COM3 (absent)", "COM4 (absent)", "COM5: Line Two three",
        "COM6: " + longName.substr(0, 37) + "...", "COM8", "COM10", "COM11: Modem (COM12)"},
       0},
  };
  for (const auto& c : cases) {
    const int selected = PortToSelect(c.present, c.wanted, c.mayChoose);
    EXPECT_EQ(selected, c.selected) << c.what;
    std::vector<std::string> texts;
    for (const PortEntry& entry : PortEntries(c.present, selected)) {
      texts.push_back(entry.text);
      EXPECT_EQ(entry.text.compare(0, entry.text.find_first_of(": "),
                                   "COM" + std::to_string(entry.number)),
                0)
          << entry.text;
    }
    EXPECT_EQ(texts, c.texts) << c.what;
  }

  // The settings name a port by index up to COM4 and by name beyond; an index
  // beyond COM4 alone, from before names were kept, names none.
  const struct {
    int lastPort;
    const char* lastPortName;
    int remembered;
  } settings[] = {{-1, "", 0}, {0, "", 1}, {3, "COM12", 4}, {4, "", 0}, {5, "COM12", 12}};
  for (const auto& s : settings) {
    LinkSettings stored;
    stored.lastPort = s.lastPort;
    stored.lastPortName = s.lastPortName;
    EXPECT_EQ(RememberedPort(stored), s.remembered) << s.lastPort << " " << s.lastPortName;
  }
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

  // What a failed open of the missing port says: why in the system's words,
  // never that another program holds it.
  std::string MissingPortText(const std::string& name = std::string()) const {
    EXPECT_NE(PortOpenProblem(port.LastError()), kPortInUseWords);
    return PortOpenFailedText(name.empty() ? missingPort : name, PortOpenProblem(port.LastError()));
  }

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
  const std::string highPort = EnvOr("QL_TEST_HIGH_PTY_PORT", "");
  const std::string missingPort = EnvOr("QL_TEST_MISSING_PORT", "COM3");
};

TEST_F(LinkDialogTest, WithoutSettingsFileShowsDefaultsAndSavesEveryKeyOnClose) {
  Open();
  EXPECT_EQ(SelectedPortName(GetDlgItem(dialog, IDC_COMBO_PORT)), "COM1");
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
  EXPECT_EQ(Text(IDC_STATUS), MissingPortText());
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
  EXPECT_EQ(Text(IDC_STATUS), MissingPortText());
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_FAILED);
  ExpectStopped();

  Command(IDC_BTN_STARTSTOP);  // a retry fails the same way and stays stopped
  EXPECT_EQ(Text(IDC_STATUS), MissingPortText());
  ExpectStopped();
}

TEST_F(LinkDialogTest, StartWithoutPortOrSpeedOpensNothing) {
  WriteSettings("LastPort=-1\r\n");
  Open();
  Command(IDC_BTN_STARTSTOP);
  EXPECT_EQ(Text(IDC_STATUS), "Choose a port first.");
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_FAILED);
  ExpectStopped();

  if (ptyPort.empty()) GTEST_SKIP() << "no COM port linked to a pseudo terminal";
  SendDlgItemMessageA(dialog, IDC_COMBO_PORT, CB_SETCURSEL, ptyPort[3] - '1', 0);
  SendDlgItemMessageA(dialog, IDC_COMBO_SPEED, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  Command(IDC_BTN_STARTSTOP);
  EXPECT_EQ(Text(IDC_STATUS), "Choose a speed first.");
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
  const auto lose = [this](std::uint32_t generation) {
    SendMessageA(dialog, WM_SERIAL_LOST, ERROR_BAD_COMMAND, static_cast<LPARAM>(generation));
  };
  const std::uint32_t first = port.Generation();
  lose(first);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_FAILED);
  EXPECT_EQ(Text(IDC_STATUS), lostText);
  EXPECT_EQ(tray.lastTip, lostText);
  EXPECT_EQ(Text(IDC_BTN_STARTSTOP), "Stop");
  EXPECT_FALSE(Enabled(IDC_COMBO_PORT));

  Pump(2500);  // the port is there again: the link resumes with its settings
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.QueryBaudRate(), 57600u);
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_OPEN);
  EXPECT_EQ(Text(IDC_STATUS), ptyPort + " opened.");
  // A late report from the listener of the open before: not this port's.
  lose(first);
  EXPECT_TRUE(port.IsOpen());

  lose(port.Generation());
  Command(IDC_BTN_STARTSTOP);
  EXPECT_EQ(Text(IDC_STATUS), ptyPort + " closed");
  EXPECT_EQ(tray.LastIcon(), IDI_PORT_CLOSED);
  Pump(2500);
  ExpectStopped();
  // A notification that comes after the stop changes nothing.
  lose(port.Generation());
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
  for (int i = 0; i < 4; ++i) {
    const std::string name = "COM" + std::to_string(i + 1);
    EXPECT_TRUE(shown[i] == name || shown[i] == name + " (absent)" ||
                shown[i].rfind(name + ": ", 0) == 0)
        << shown[i];
  }
  EXPECT_EQ(shown.end()[-2], "COM40");
  EXPECT_EQ(shown.back(), "COM41 (absent)") << "remembered, not present";
  EXPECT_EQ(Text(IDC_COMBO_PORT), "COM41 (absent)");
  EXPECT_EQ(Text(IDC_STATUS), MissingPortText("COM41"));
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

// The adapter the system names is listed by that name, chosen as the only USB
// port, opened and saved by its COM name.
TEST_F(LinkDialogTest, ALoneUsbPortIsChosenByItsNameAndKeptWhileTheLinkRuns) {
  if (highPort.empty()) GTEST_SKIP() << "no COM port beyond COM4 linked to a pseudo terminal";
  const int number = ComPortNumber(highPort.c_str());
  std::vector<PortFacts> present{{1, "Communications Port (COM1)", false}};
  context.ports = [&present] { return present; };
  // Saved before ports beyond COM4 were kept by name: the index alone names none.
  WriteSettings("LastPort=5\r\nLastSpeed=3\r\n");
  Open();
  EXPECT_EQ(Text(IDC_COMBO_PORT), "");

  present.push_back({number, "USB-SERIAL CH340 (" + highPort + ")", true});
  SendMessageA(dialog, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  EXPECT_EQ(Text(IDC_COMBO_PORT), highPort + ": USB-SERIAL CH340");
  Command(IDC_BTN_STARTSTOP);
  EXPECT_EQ(Text(IDC_STATUS), highPort + " opened.");
  EXPECT_TRUE(port.IsOpen());

  // Unplugged while the link runs, with another adapter in: the link's port stays chosen.
  present = {{1, "", false}, {number + 1, "", true}};
  SendMessageA(dialog, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  EXPECT_EQ(Text(IDC_COMBO_PORT), highPort + " (absent)");
  Command(IDC_BTN_STARTSTOP);
  EXPECT_EQ(Text(IDC_STATUS), highPort + " closed");

  SendMessageA(dialog, WM_CLOSE, 0, 0);
  const std::vector<std::string> saved = SavedKeys(context.settingsPath);
  EXPECT_EQ(saved.front(), "LastPort=4");
  EXPECT_EQ(saved.back(), "LastPortName=" + highPort);
}

}  // namespace
}  // namespace ql
