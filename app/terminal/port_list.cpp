#include "app/terminal/port_list.h"

#include <libserialport.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <map>
#include <memory>
#include <sstream>

#include "app/terminal/device_problem.h"
#include "app/terminal/terminal_text.h"

namespace ql {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kLongestDescriptor = 128;
constexpr char kMacTtyPrefix[] = "tty.";
constexpr char kMacCallUpPrefix[] = "cu.";

// Serial devices a Mac has built in that lead to no adapter: the Bluetooth
// port that waits for a phone, and the consoles for debugging the machine.
constexpr const char* kBuiltInConsoles[] = {"Bluetooth-Incoming-Port", "debug-console",
                                            "wlan-debug"};

std::string Text(const char* text) { return text == nullptr ? std::string() : text; }

// The library's strings come from the adapter's own descriptors: kept short,
// and anything that could steer a terminal is escaped.
std::string Descriptor(std::string line) {
  if (line.size() > kLongestDescriptor) line.resize(kLongestDescriptor);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return TerminalText(line);
}

std::string UsbDescription(const FoundPort& port) {
  std::string text = Descriptor(port.manufacturer);
  const std::string product = Descriptor(port.product);
  if (!product.empty()) text += (text.empty() ? "" : " ") + product;
  std::string ids = "USB";
  if (port.usbVendor >= 0 && port.usbProduct >= 0) {
    std::ostringstream numbers;
    numbers << std::hex << std::setfill('0') << ' ' << std::setw(4) << port.usbVendor << ':'
            << std::setw(4) << port.usbProduct;
    ids += numbers.str();
  }
  const std::string serial = Descriptor(port.serial);
  if (!serial.empty()) ids += ", serial " + serial;
  return text.empty() ? ids : text + " (" + ids + ")";
}

std::string Describe(const FoundPort& port) {
  if (port.transport == FoundPort::Transport::kUsb) return UsbDescription(port);
  // Linux's library names a built-in port by its device alone, which says nothing new.
  const std::string leaf = fs::path(port.device).filename().string();
  if (port.description.empty() || port.description == leaf) return "built-in serial port";
  return Descriptor(port.description);
}

bool IsAdapter(const FoundPort& port) {
  if (port.transport == FoundPort::Transport::kBluetooth) return false;
  const std::string leaf = fs::path(port.device).filename().string();
  return std::none_of(
      std::begin(kBuiltInConsoles), std::end(kBuiltInConsoles),
      [&leaf](const char* console) { return leaf.find(console) != std::string::npos; });
}

std::string Canonical(const fs::path& path) {
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  return error ? std::string() : real.string();
}

std::string WhyNotUsable(const std::string& device) {
  if (access(device.c_str(), R_OK | W_OK) == 0) return {};
  // Apart from a refusal, what access() finds wrong is told as a device
  // node without its hardware.
  return ExplainOpenFailure(device, errno == EACCES ? EACCES : ENXIO);
}

}  // namespace

FoundPorts FindSerialPorts() {
  FoundPorts found;
  sp_port** list = nullptr;
  switch (sp_list_ports(&list)) {
    case SP_OK:
      break;
    case SP_ERR_FAIL:  // the library keeps the system's code
      found.error = sp_last_error_code() != 0 ? sp_last_error_code() : EIO;
      return found;
    case SP_ERR_SUPP:
      found.error = ENOSYS;
      return found;
    default:
      found.error = ENOMEM;
      return found;
  }
  const std::unique_ptr<sp_port*, void (*)(sp_port**)> owned(list, sp_free_port_list);
  for (sp_port** at = list; *at != nullptr; ++at) {
    const sp_port* port = *at;
    FoundPort entry;
    entry.device = Text(sp_get_port_name(port));
    entry.description = Text(sp_get_port_description(port));
    switch (sp_get_port_transport(port)) {
      case SP_TRANSPORT_USB:
        entry.transport = FoundPort::Transport::kUsb;
        if (sp_get_port_usb_vid_pid(port, &entry.usbVendor, &entry.usbProduct) != SP_OK) {
          entry.usbVendor = entry.usbProduct = -1;
        }
        entry.manufacturer = Text(sp_get_port_usb_manufacturer(port));
        entry.product = Text(sp_get_port_usb_product(port));
        entry.serial = Text(sp_get_port_usb_serial(port));
        break;
      case SP_TRANSPORT_BLUETOOTH:
        entry.transport = FoundPort::Transport::kBluetooth;
        break;
      case SP_TRANSPORT_NATIVE:
        break;
    }
    found.ports.push_back(std::move(entry));
  }
  return found;
}

std::vector<PortEntry> DescribePorts(const std::vector<FoundPort>& found,
                                     const std::string& stableNameFolder) {
  std::error_code error;
  std::map<std::string, std::vector<std::string>> stableNames;  // by the device's real path
  for (const auto& link : fs::directory_iterator(stableNameFolder, error)) {
    const std::string real = Canonical(link.path());
    if (!real.empty()) stableNames[real].push_back(link.path().string());
  }

  std::map<std::string, PortEntry> ports;  // by device, so sorted and each once
  for (const FoundPort& port : found) {
    if (!IsAdapter(port)) continue;
    const std::string twin = kCallUpTwins ? CallUpTwin(port.device) : std::string();
    PortEntry& entry = ports[twin.empty() ? port.device : twin];
    entry.description = Describe(port);
    entry.usb = port.transport == FoundPort::Transport::kUsb;
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

PortList ListPorts() {
  FoundPorts found = FindSerialPorts();
  return {DescribePorts(found.ports), found.error};
}

std::string FormatPortList(const PortList& list) {
  if (list.error != kSuccess) return ListingFailure(list.error) + "\n";
  if (list.ports.empty()) {
    return "No serial adapter found. A USB adapter shows up here once it is plugged in.\n";
  }
  std::string text;
  bool anyStable = false;
  for (const PortEntry& port : list.ports) {
    text += TerminalText(port.device) + (port.description.empty() ? "" : ": " + port.description) +
            "\n";
    for (const std::string& name : port.stableNames) {
      text += "  stable name: " + TerminalText(name) + "\n";
    }
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

std::string ListingFailure(Status error) {
  return "The serial devices could not be listed (" + std::string(std::strerror(error)) +
         "); name the device with --port.";
}

std::string CallUpTwin(const std::string& device) {
  const fs::path path(device);
  const std::string leaf = path.filename().string();
  if (leaf.rfind(kMacTtyPrefix, 0) != 0) return {};
  return (path.parent_path() / (kMacCallUpPrefix + leaf.substr(std::strlen(kMacTtyPrefix))))
      .string();
}

DeviceToOpen ChooseDeviceToOpen(const std::string& given, bool callUpTwins) {
  const std::string twin = callUpTwins ? CallUpTwin(given) : std::string();
  if (twin.empty() || access(twin.c_str(), F_OK) != 0) return {given, {}};
  return {twin, "Using " + twin + " for " + given +
                    ": opening a tty. device waits for a modem's carrier signal, which a "
                    "handheld's cable never raises."};
}

}  // namespace ql
