#include "app/win/port_box.h"

#include <algorithm>
#include <cstring>

#include "fs/windows_file_system.h"
#include "link/handheld_charset.h"

namespace ql {
namespace {

// Bytes of a friendly name the box shows, "..." included; the box's own
// buffers hold "COM256: " and this much.
constexpr std::size_t kNameLimit = 40;

std::string PortName(int number) { return "COM" + std::to_string(number); }

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         _stricmp(text.c_str() + (text.size() - tail.size()), tail.c_str()) == 0;
}

// The name on one line: control characters become blanks, runs of blanks one.
std::string OneLine(const std::string& raw) {
  std::string line;
  for (const char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    // Bytes below 0x20 and 0x7F never trail a double-byte character.
    const bool blank = byte <= ' ' || byte == 0x7F;
    if (!blank) {
      line += c;
    } else if (!line.empty() && line.back() != ' ') {
      line += ' ';
    }
  }
  if (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// The system's friendly name, fit for one entry: without the " (COM7)" it
// usually ends with, since the entry starts with the COM name.
std::string ShownName(const std::string& raw, int number) {
  std::string name = OneLine(raw);
  const std::string tail = "(" + PortName(number) + ")";
  if (EndsWithNoCase(name, tail)) {
    name.erase(name.size() - tail.size());
    if (!name.empty() && name.back() == ' ') name.pop_back();
  }
  if (name.size() > kNameLimit) {
    name.resize(FitChars(name, kNameLimit - 3, AnsiCharset()));
    if (!name.empty() && name.back() == ' ') name.pop_back();
    name += "...";
  }
  return name;
}

std::string EntryText(const PortFacts* facts, int number) {
  if (facts == nullptr) return PortName(number) + " (absent)";
  const std::string name = ShownName(facts->friendlyName, number);
  // A name that says no more than the COM name is left out.
  if (name.empty() || _stricmp(name.c_str(), PortName(number).c_str()) == 0) {
    return PortName(number);
  }
  return PortName(number) + ": " + name;
}

const PortFacts* Find(const std::vector<PortFacts>& present, int number) {
  const auto found = std::find_if(present.begin(), present.end(), [number](const PortFacts& port) {
    return port.number == number;
  });
  return found != present.end() ? &*found : nullptr;
}

std::vector<std::string> BoxTexts(HWND box) {
  std::vector<std::string> texts;
  const auto count = SendMessageA(box, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    char text[64] = "";
    if (SendMessageA(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) <
        static_cast<LRESULT>(sizeof text)) {
      SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
    }
    texts.push_back(text);
  }
  return texts;
}

// The box itself is narrow; its list opens wide enough for the longest name.
void FitDroppedWidth(HWND box, const std::vector<PortEntry>& entries) {
  HDC dc = GetDC(box);
  if (dc == nullptr) return;
  const auto font = reinterpret_cast<HGDIOBJ>(SendMessageA(box, WM_GETFONT, 0, 0));
  HGDIOBJ previous = font != nullptr ? SelectObject(dc, font) : nullptr;
  LONG widest = 0;
  for (const PortEntry& entry : entries) {
    SIZE size{};
    if (GetTextExtentPoint32A(dc, entry.text.c_str(), static_cast<int>(entry.text.size()), &size)) {
      widest = std::max(widest, size.cx);
    }
  }
  if (previous != nullptr) SelectObject(dc, previous);
  ReleaseDC(box, dc);
  const LONG width = widest + GetSystemMetrics(SM_CXVSCROLL) + 4 * GetSystemMetrics(SM_CXEDGE);
  SendMessageA(box, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(width), 0);
}

}  // namespace

std::vector<PortEntry> PortEntries(const std::vector<PortFacts>& present, int keep) {
  std::vector<int> numbers;
  for (int number = 1; number <= kPortCount; ++number) numbers.push_back(number);
  std::vector<int> others;
  for (const PortFacts& port : present) {
    if (port.number > kPortCount) others.push_back(port.number);
  }
  if (keep > kPortCount) others.push_back(keep);
  std::sort(others.begin(), others.end());
  others.erase(std::unique(others.begin(), others.end()), others.end());
  numbers.insert(numbers.end(), others.begin(), others.end());

  std::vector<PortEntry> entries;
  for (const int number : numbers)
    entries.push_back({number, EntryText(Find(present, number), number)});
  return entries;
}

int PortToSelect(const std::vector<PortFacts>& present, int wanted, bool mayChoose) {
  if (wanted > 0 || !mayChoose) return wanted;
  // With two or more, which one the handheld hangs on is anyone's guess.
  const auto usbCount =
      std::count_if(present.begin(), present.end(), [](const PortFacts& port) { return port.usb; });
  if (usbCount != 1) return 0;
  return std::find_if(present.begin(), present.end(),
                      [](const PortFacts& port) { return port.usb; })
      ->number;
}

int RememberedPort(const LinkSettings& settings) {
  if (settings.lastPort < 0) return 0;
  if (settings.lastPort < kPortCount) return settings.lastPort + 1;
  const int named = ComPortNumber(settings.lastPortName.c_str());
  return named > kPortCount ? named : 0;
}

void RefreshPortBox(HWND box, const PortSource& source, int wanted, bool mayChoose) {
  const std::vector<PortFacts> present = source();
  const int selected = PortToSelect(present, wanted, mayChoose);
  const std::vector<PortEntry> entries = PortEntries(present, selected);
  std::vector<std::string> texts;
  for (const PortEntry& entry : entries) texts.push_back(entry.text);
  if (texts == BoxTexts(box) && SelectedPort(box) == selected) return;
  SendMessageA(box, CB_RESETCONTENT, 0, 0);
  int selectedIndex = -1;
  for (const PortEntry& entry : entries) {
    const auto index =
        SendMessageA(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.text.c_str()));
    SendMessageA(box, CB_SETITEMDATA, static_cast<WPARAM>(index),
                 static_cast<LPARAM>(entry.number));
    if (entry.number == selected) selectedIndex = static_cast<int>(index);
  }
  SendMessageA(box, CB_SETCURSEL, static_cast<WPARAM>(selectedIndex), 0);
  FitDroppedWidth(box, entries);
}

int SelectedPort(HWND box) {
  const auto index = SendMessageA(box, CB_GETCURSEL, 0, 0);
  if (index < 0) return 0;
  return static_cast<int>(SendMessageA(box, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
}

std::string SelectedPortName(HWND box) {
  const int number = SelectedPort(box);
  return number > 0 ? PortName(number) : std::string();
}

}  // namespace ql
