#include "app/win/settings_file.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace ql {
namespace {

// The keys and values the program writes are ASCII.
std::wstring Widened(const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }

// Any other character becomes '?', so that none reads as a digit it is not.
std::string Narrowed(const wchar_t* text) {
  std::string ascii;
  for (; *text != L'\0'; ++text) ascii += *text < 0x80 ? static_cast<char>(*text) : '?';
  return ascii;
}

std::string ReadValue(const std::wstring& path, const char* key, const wchar_t* fallback) {
  wchar_t text[16];
  GetPrivateProfileStringW(Widened(kSettingsSection).c_str(), Widened(key).c_str(), fallback, text,
                           sizeof text / sizeof *text, path.c_str());
  return Narrowed(text);
}

// A null `value` removes the key.
void WriteValue(const std::wstring& path, const char* key, const char* value) {
  const std::wstring wide = value != nullptr ? Widened(value) : std::wstring();
  WritePrivateProfileStringW(Widened(kSettingsSection).c_str(), Widened(key).c_str(),
                             value != nullptr ? wide.c_str() : nullptr, path.c_str());
}

}  // namespace

std::wstring SettingsFilePath() {
  // The name may be longer than MAX_PATH; a name cut to fit fills the buffer.
  std::wstring program(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, &program[0], static_cast<DWORD>(program.size()));
    if (length == 0) return Widened(kSettingsFileName);
    if (length < program.size()) {
      program.resize(length);
      break;
    }
    program.resize(program.size() * 2);
  }
  return program.substr(0, program.find_last_of(L'\\') + 1) + Widened(kSettingsFileName);
}

LinkSettings LoadSettings(const std::wstring& path) {
  LinkSettings settings;
  // No value can be this, so it tells a missing key.
  const wchar_t* const missing = L"\x7F";
  for (const SettingKey& key : kSettingKeys) {
    const std::string text = ReadValue(path, key.name, missing);
    const bool unsaved = text == "\x7F";
    settings.*key.field = ParseSettingValue(unsaved ? "0" : text.c_str());
    if (unsaved && key.field == &LinkSettings::lastPort) settings.lastPort = kLastPortNotSaved;
  }
  const std::string name = ReadValue(path, kLastPortNameKey, L"");
  if (ComPortNumber(name.c_str()) > kPortCount) settings.lastPortName = name;
  return settings;
}

void SaveSettings(const std::wstring& path, const LinkSettings& settings) {
  for (const SettingKey& key : kSettingKeys) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", settings.*key.field);
    WriteValue(path, key.name, text);
  }
  // Without a port beyond COM4 the key goes, so that a name from an earlier
  // choice cannot outweigh the index.
  const bool named = ComPortNumber(settings.lastPortName.c_str()) > kPortCount;
  WriteValue(path, kLastPortNameKey, named ? settings.lastPortName.c_str() : nullptr);
}

}  // namespace ql
