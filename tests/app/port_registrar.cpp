// Gives a COM port of a wine prefix a device of the Ports class, as a driver's
// installation does on Windows, so that SetupAPI names the port.
//
//   port_registrar add COMn NAME [HARDWARE-ID]   a present device with that friendly name
//                                                (replacing any device of COMn before)
//   port_registrar remove COMn                   takes the port's devices away
//
// Exit status 0 when done, 1 when a SetupAPI call fails.
#include <windows.h>
// After windows.h, whose types they use; initguid.h makes devguid.h define the class GUIDs.
#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int Fail(const char* call) {
  std::fprintf(stderr, "%s failed: error %lu\n", call, GetLastError());
  return 1;
}

std::string PortName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  HKEY key =
      SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return std::string();
  char data[64] = "";
  DWORD size = sizeof data - 1;
  DWORD type = 0;
  const bool read = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(data),
                                     &size) == ERROR_SUCCESS &&
                    type == REG_SZ;
  RegCloseKey(key);
  if (!read) return std::string();
  data[size] = '\0';
  return data;
}

// Every device of the class, present or not, whose PortName is `port`.
int Remove(const char* port) {
  HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, 0);
  if (devices == INVALID_HANDLE_VALUE) return Fail("SetupDiGetClassDevs");
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  int status = 0;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
    if (_stricmp(PortName(devices, device).c_str(), port) != 0) continue;
    if (!SetupDiRemoveDevice(devices, &device)) status = Fail("SetupDiRemoveDevice");
  }
  SetupDiDestroyDeviceInfoList(devices);
  return status;
}

bool SetProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property,
                 const std::string& value, bool list) {
  // A list ends with a second NUL.
  const std::string data = value + (list ? std::string(2, '\0') : std::string(1, '\0'));
  return SetupDiSetDeviceRegistryPropertyA(devices, &device, property,
                                           reinterpret_cast<const BYTE*>(data.data()),
                                           static_cast<DWORD>(data.size())) != FALSE;
}

int Add(const char* port, const char* name, const char* hardwareId) {
  if (Remove(port) != 0) return 1;
  HDEVINFO devices = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
  if (devices == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  int status = 0;
  HKEY key = static_cast<HKEY>(INVALID_HANDLE_VALUE);
  // DICD_GENERATE_ID gives a fresh ROOT\PORTS\nnnn instance.
  if (!SetupDiCreateDeviceInfoA(devices, "PORTS", &GUID_DEVCLASS_PORTS, name, nullptr,
                                DICD_GENERATE_ID, &device)) {
    status = Fail("SetupDiCreateDeviceInfo");
  } else if (!SetProperty(devices, device, SPDRP_FRIENDLYNAME, name, false) ||
             (hardwareId != nullptr &&
              !SetProperty(devices, device, SPDRP_HARDWAREID, hardwareId, true))) {
    status = Fail("SetupDiSetDeviceRegistryProperty");
  } else if (!SetupDiRegisterDeviceInfo(devices, &device, 0, nullptr, nullptr, nullptr)) {
    status = Fail("SetupDiRegisterDeviceInfo");
  } else if ((key = SetupDiCreateDevRegKeyA(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                            nullptr, nullptr)) == INVALID_HANDLE_VALUE) {
    status = Fail("SetupDiCreateDevRegKey");
  } else {
    const LONG result =
        RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                       static_cast<DWORD>(std::strlen(port) + 1));
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
      SetLastError(static_cast<DWORD>(result));
      status = Fail("RegSetValueEx");
    }
  }
  SetupDiDestroyDeviceInfoList(devices);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "add") == 0) {
    return Add(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
  }
  if (argc == 3 && std::strcmp(argv[1], "remove") == 0) return Remove(argv[2]);
  std::fprintf(stderr, "usage: port_registrar add COMn NAME [HARDWARE-ID] | remove COMn\n");
  return 2;
}
