// The serial adapters present, as --list-ports shows them and as a plain run
// chooses among them: found through libserialport, each with what it is, its
// stable name on Linux, and whether this user may open it.
#pragma once

#include <string>
#include <vector>

#include "link/status.h"

namespace ql {

// One serial device as the port library reports it.
struct FoundPort {
  enum class Transport { kBuiltIn, kUsb, kBluetooth };
  std::string device;  // /dev/ttyUSB0, /dev/cu.usbserial-A1B2C3
  Transport transport = Transport::kBuiltIn;
  int usbVendor = -1;  // -1: not known
  int usbProduct = -1;
  std::string manufacturer;  // the USB descriptors, as the adapter tells them
  std::string product;
  std::string serial;
  std::string description;  // the library's own words for the port
};

// Every serial device the system reports, or the errno that stopped the search.
struct FoundPorts {
  std::vector<FoundPort> ports;
  Status error = kSuccess;
};
FoundPorts FindSerialPorts();

struct PortEntry {
  std::string device;                    // /dev/ttyUSB0
  std::vector<std::string> stableNames;  // the by-id links that lead to it
  std::string description;               // vendor, product and serial, or what the system says
  std::string refusal;                   // empty when this user may open it, else why not
  bool usb = false;
};

// Linux's links named after each USB adapter's vendor, model and serial number.
constexpr char kStableNameFolder[] = "/dev/serial/by-id";

// The adapters among `found`, in the order of their devices: Bluetooth ports
// and a Mac's built-in consoles are left out, a Mac's tty. names become their
// cu. twins, and each gets the links in `stableNameFolder` that lead to it.
std::vector<PortEntry> DescribePorts(const std::vector<FoundPort>& found,
                                     const std::string& stableNameFolder = kStableNameFolder);

// The adapters present now, or the reason none could be looked for.
struct PortList {
  std::vector<PortEntry> ports;
  Status error = kSuccess;
};
PortList ListPorts();

std::string FormatPortList(const PortList& list);

// Why the adapters could not be looked for, as one sentence.
std::string ListingFailure(Status error);

// A Mac shows each serial device twice: /dev/tty.NAME, whose open waits for a
// modem's carrier-detect line, and /dev/cu.NAME, which opens at once. A
// handheld's cable never raises that line, so a tty. name is served through
// its cu. twin. Returns the twin, or "" when `device` is no tty. name.
std::string CallUpTwin(const std::string& device);

#ifdef __APPLE__
constexpr bool kCallUpTwins = true;
constexpr char kExampleDevice[] = "/dev/cu.usbserial-A1B2C3D4";  // for help texts
#else
constexpr bool kCallUpTwins = false;
constexpr char kExampleDevice[] = "/dev/ttyUSB0";
#endif

// The device to open for the one the user named: on a Mac a tty. name's cu.
// twin when it exists, said in `sentence`; else `given` itself.
struct DeviceToOpen {
  std::string device;
  std::string sentence;  // empty when nothing was changed
};
DeviceToOpen ChooseDeviceToOpen(const std::string& given, bool callUpTwins = kCallUpTwins);

}  // namespace ql
