#include "app/posix/port_list.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>

#include "serial/posix/device_problem.h"

namespace ql {
namespace {

namespace fs = std::filesystem;

// The USB device whose descriptors describe a tty, or the UART's own device,
// sits a few folders above the tty's device folder.
constexpr int kDeviceLevels = 4;
constexpr char kSerialBaseBus[] = "serial-base";
constexpr std::size_t kLongestAttribute = 128;

// A sysfs attribute as one line. The strings come from the adapter's own
// descriptors, so anything that could steer a terminal is replaced.
std::string ReadAttribute(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  if (line.size() > kLongestAttribute) line.resize(kLongestAttribute);
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::string Canonical(const fs::path& path) {
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  return error ? std::string() : real.string();
}

std::string UsbDescription(const fs::path& usbDevice) {
  std::string text = ReadAttribute(usbDevice / "manufacturer");
  const std::string product = ReadAttribute(usbDevice / "product");
  if (!product.empty()) text += (text.empty() ? "" : " ") + product;
  std::string ids =
      "USB " + ReadAttribute(usbDevice / "idVendor") + ":" + ReadAttribute(usbDevice / "idProduct");
  const std::string serial = ReadAttribute(usbDevice / "serial");
  if (!serial.empty()) ids += ", serial " + serial;
  return text.empty() ? ids : text + " (" + ids + ")";
}

// What the system knows of the hardware behind a tty's sysfs folder: the USB
// device above it, or else the first driver that is not the kernel's own
// serial-port layer (its "port" and "ctrl" devices sit between a UART and
// its tty).
std::string Describe(const fs::path& ttyFolder) {
  std::error_code error;
  fs::path at = Canonical(ttyFolder / "device");
  std::string driver;
  for (int level = 0; level < kDeviceLevels && !at.empty(); ++level) {
    if (fs::exists(at / "idVendor", error)) return UsbDescription(at);
    const fs::path bound = Canonical(at / "driver");
    if (driver.empty() && !bound.empty() &&
        bound.parent_path().parent_path().filename() != kSerialBaseBus) {
      driver = bound.filename().string();
    }
    if (at == at.parent_path()) break;
    at = at.parent_path();
  }
  return driver.empty() ? std::string() : "driver " + driver;
}

// A tty with a device folder is backed by hardware; an 8250 UART of type 0
// (unknown) is one of the fixed ttyS slots that found no chip at boot.
bool IsHardware(const fs::path& ttyFolder) {
  std::error_code error;
  if (!fs::exists(ttyFolder / "device", error)) return false;
  return !fs::exists(ttyFolder / "type", error) || ReadAttribute(ttyFolder / "type") != "0";
}

std::string WhyNotUsable(const std::string& device) {
  if (access(device.c_str(), R_OK | W_OK) == 0) return {};
  // Apart from a refusal, what access() finds wrong is told as a device
  // node without its hardware.
  return ExplainOpenFailure(device, errno == EACCES ? EACCES : ENXIO);
}

}  // namespace

std::vector<PortEntry> ListPorts(const PortFolders& folders) {
  std::error_code error;
  std::map<std::string, std::vector<std::string>> stableNames;  // by the device's real path
  for (const auto& link : fs::directory_iterator(folders.byId, error)) {
    const std::string real = Canonical(link.path());
    if (!real.empty()) stableNames[real].push_back(link.path().string());
  }

  std::map<std::string, PortEntry> ports;  // by device path, so sorted
  for (const auto& tty : fs::directory_iterator(folders.ttyClass, error)) {
    const std::string device = (fs::path(folders.devices) / tty.path().filename()).string();
    if (!IsHardware(tty.path()) || !fs::exists(device, error)) continue;
    ports[device].description = Describe(tty.path());
  }
  // A by-id link whose device the sysfs walk did not find (another system,
  // or another device folder) still names a port.
  for (const auto& [real, names] : stableNames) {
    const bool known = std::any_of(ports.begin(), ports.end(), [&real = real](const auto& port) {
      return Canonical(port.first) == real;
    });
    if (!known) ports[real];
  }

  std::vector<PortEntry> list;
  for (auto& [device, entry] : ports) {
    entry.device = device;
    const auto names = stableNames.find(Canonical(device));
    if (names != stableNames.end()) {
      entry.stableNames = names->second;
      std::sort(entry.stableNames.begin(), entry.stableNames.end());
    }
    entry.refusal = WhyNotUsable(device);
    list.push_back(std::move(entry));
  }
  return list;
}

AdapterChoice ChooseAdapter(const std::vector<PortEntry>& ports, const std::string& comDevice) {
  const auto named = [](const PortEntry& port) {
    return port.device + (port.description.empty() ? "" : " (" + port.description + ")");
  };
  const auto isUsb = [](const PortEntry& port) {
    return port.device.find("ttyUSB") != std::string::npos ||
           port.device.find("ttyACM") != std::string::npos ||
           port.description.find("USB") != std::string::npos;
  };
  std::vector<const PortEntry*> usb;
  for (const PortEntry& port : ports) {
    if (isUsb(port)) usb.push_back(&port);
  }
  AdapterChoice choice;
  if (usb.size() == 1) {
    choice.device = usb[0]->device;
    choice.sentence =
        "Serving " + named(*usb[0]) + ", the only serial adapter present; --port chooses another.";
  } else if (usb.size() > 1) {
    choice.several = true;
    choice.sentence = "Several serial adapters are present; choose one with --port:";
    for (const PortEntry* port : usb) choice.sentence += "\n  " + named(*port);
  } else if (const auto com =
                 std::find_if(ports.begin(), ports.end(),
                              [&](const PortEntry& p) { return p.device == comDevice; });
             com != ports.end()) {
    choice.device = com->device;
    choice.sentence =
        "Serving " + named(*com) + ", the COM port the settings name; --port chooses another.";
  } else {
    choice.sentence =
        "No serial adapter is present; waiting for one to be plugged in (Ctrl+C ends).";
  }
  return choice;
}

std::string FormatPortList(const std::vector<PortEntry>& ports) {
  if (ports.empty()) {
    return "No serial devices found. A USB adapter shows up here once it is plugged in.\n";
  }
  std::string text;
  bool anyStable = false;
  for (const PortEntry& port : ports) {
    text += port.device + (port.description.empty() ? "" : ": " + port.description) + "\n";
    for (const std::string& name : port.stableNames) text += "  stable name: " + name + "\n";
    anyStable = anyStable || !port.stableNames.empty();
    text += "  " + (port.refusal.empty() ? std::string("you may open it") : port.refusal) + "\n";
  }
  if (anyStable) {
    text +=
        "Give --port the stable name: it stays the same when the adapter is plugged in again "
        "as another device.\n";
  }
  return text;
}

}  // namespace ql
