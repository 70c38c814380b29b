#include "app/win/serial_ports.h"

#include <windows.h>
// After windows.h, whose types they use; initguid.h makes devguid.h define the class GUIDs.
#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>

#include "app/common/settings.h"

namespace ql {
namespace {

// Reads a REG_SZ value; empty when it is missing, of another type or too long.
std::string StringValue(HKEY key, const char* name) {
  char data[64] = "";
  DWORD size = sizeof data - 1;
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::string();
  }
  data[size] = '\0';
  return data;
}

void AddSerialCommPorts(std::vector<PortFacts>& ports) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                    &key) != ERROR_SUCCESS) {
    return;
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
    if (number > 0) ports.push_back({number, std::string(), false});
  }
  RegCloseKey(key);
}

// A string property of the device (the first string of a list); empty when
// the device has none.
std::string DeviceProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
  // Two zero bytes at the end whatever comes back, so a list or a string cut short still ends.
  char data[512] = {};
  if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, property, nullptr,
                                         reinterpret_cast<BYTE*>(data), sizeof data - 2, nullptr)) {
    return std::string();
  }
  return data;
}

bool StartsWith(const std::string& text, const char* head) {
  return _strnicmp(text.c_str(), head, std::strlen(head)) == 0;
}

// FTDI's own driver enumerates its adapters under FTDIBUS instead of USB.
bool IsUsbDevice(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  const std::string enumerator = DeviceProperty(devices, device, SPDRP_ENUMERATOR_NAME);
  if (_stricmp(enumerator.c_str(), "USB") == 0 || _stricmp(enumerator.c_str(), "FTDIBUS") == 0) {
    return true;
  }
  const std::string hardwareId = DeviceProperty(devices, device, SPDRP_HARDWAREID);
  return StartsWith(hardwareId, "USB\\") || StartsWith(hardwareId, "FTDIBUS\\");
}

void AddSetupApiPorts(std::vector<PortFacts>& ports) {
  HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
    HKEY key =
        SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) continue;
    // The class holds printer ports too; their names are no COM names.
    const int number = ComPortNumber(StringValue(key, "PortName").c_str());
    RegCloseKey(key);
    if (number == 0) continue;
    ports.push_back({number, DeviceProperty(devices, device, SPDRP_FRIENDLYNAME),
                     IsUsbDevice(devices, device)});
  }
  SetupDiDestroyDeviceInfoList(devices);
}

}  // namespace

std::vector<PortFacts> SystemPorts() {
  std::vector<PortFacts> ports;
  // SetupAPI's entries first, so that the stable sort keeps them ahead of the plain ones.
  AddSetupApiPorts(ports);
  AddSerialCommPorts(ports);
  std::stable_sort(ports.begin(), ports.end(),
                   [](const PortFacts& a, const PortFacts& b) { return a.number < b.number; });
  ports.erase(
      std::unique(ports.begin(), ports.end(),
                  [](const PortFacts& a, const PortFacts& b) { return a.number == b.number; }),
      ports.end());
  return ports;
}

}  // namespace ql
