// The serial devices present, as --list-ports shows them: each with its
// stable name, what it is, and whether this user may open it.
#pragma once

#include <string>
#include <vector>

namespace ql {

// Where the system shows its serial devices; tests give folders of their own.
struct PortFolders {
  std::string devices = "/dev";
  std::string byId = "/dev/serial/by-id";  // udev's links named after vendor, model and serial
  std::string ttyClass = "/sys/class/tty";
};

struct PortEntry {
  std::string device;                    // /dev/ttyUSB0
  std::vector<std::string> stableNames;  // the by-id links that lead to it
  std::string description;               // vendor, product and serial, or the driver
  std::string refusal;                   // empty when this user may open it, else why not
};

// Terminals backed by hardware (a USB adapter, a UART that answered at boot),
// and whatever a by-id link leads to, in the order of their names.
std::vector<PortEntry> ListPorts(const PortFolders& folders);

std::string FormatPortList(const std::vector<PortEntry>& ports);

// The device a run serves when none was given or remembered: the one serial
// adapter present, USB adapters first, else `comDevice` (the COM port the
// settings name) when it is present.
struct AdapterChoice {
  std::string device;    // empty: none to serve now
  std::string sentence;  // what to tell the user
  bool several = false;  // more than one: the user must choose
};
AdapterChoice ChooseAdapter(const std::vector<PortEntry>& ports, const std::string& comDevice);

}  // namespace ql
