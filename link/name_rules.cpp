#include "link/name_rules.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "link/wire_format.h"

namespace ql {
namespace {

constexpr char kTemporaryPrefix[] = ".quarnelix-upload-";
constexpr std::size_t kTemporaryDigits = 16;

// Windows reserves these names for devices in every folder, with or without an
// extension; "COM¹" (0xB9 in the Western code page) too.
bool IsReservedDeviceName(std::string name) {
  name = name.substr(0, name.find('.'));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  if (std::find_if(std::begin(kDevices), std::end(kDevices),
                   [&](const char* d) { return name == d; }) != std::end(kDevices)) {
    return true;
  }
  const auto digit = static_cast<unsigned char>(name.size() == 4 ? name[3] : 0);
  const bool numbered = (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 ||
                        digit == 0xB3;  // superscript one, two, three
  return numbered && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0);
}

}  // namespace

bool IsWindowsNameComponent(const std::string& name, const HandheldCharset& charset, bool pattern) {
  if (name.empty() || name == "." || name == "..") return false;
  const char* reserved = pattern ? "<>:\"/\\|" : "<>:\"/\\|?*";
  for (std::size_t at = 0; at < name.size(); at += CharLength(name, at, charset)) {
    const char c = name[at];
    if (CharLength(name, at, charset) == 1 && (static_cast<unsigned char>(c) < 0x20 || c == 0x7F ||
                                               std::strchr(reserved, c) != nullptr)) {
      return false;
    }
  }
  return true;
}

const char* UploadNameRefusal(const std::string& name, const HandheldCharset& charset) {
  if (name.empty() || name == "." || name == "..") return "no file name";
  if (!IsWindowsNameComponent(name, charset)) return "a character Windows does not allow in names";
  // The last character decides the trailing rule.
  std::size_t last = 0;
  for (std::size_t at = 0; at < name.size(); at += CharLength(name, at, charset)) last = at;
  if (name[last] == '.' || name[last] == ' ') return "a trailing dot or space";
  if (IsReservedDeviceName(name)) return "a device name";
  if (IsUploadTemporaryName(name)) return "a name the server keeps for its temporary files";
  if (CountChars(kUploadFolder, charset) + CountChars(name, charset) > kMaxPath) return "too long";
  return nullptr;
}

std::string UploadNameOf(const std::string& path, const HandheldCharset& charset) {
  const std::size_t cut = FindLastSeparator(path, charset);
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string UploadTemporaryName(std::uint64_t number) {
  char digits[kTemporaryDigits + 1];
  static_cast<void>(
      std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(number)));
  return kTemporaryPrefix + std::string(digits);
}

// Case-blind, as Windows compares names.
bool IsUploadTemporaryName(const std::string& name) {
  constexpr std::size_t prefix = sizeof kTemporaryPrefix - 1;
  if (name.size() != prefix + kTemporaryDigits) return false;
  for (std::size_t i = 0; i < prefix; ++i) {
    if (std::tolower(static_cast<unsigned char>(name[i])) != kTemporaryPrefix[i]) return false;
  }
  return std::all_of(name.begin() + prefix, name.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace ql
