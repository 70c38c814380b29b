// The COM ports the system has now, as the registry and SetupAPI tell them.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ql {

struct PortFacts {
  int number = 0;            // n of COMn
  std::string friendlyName;  // as the system gives it, unchecked; empty when unknown
  bool usb = false;          // behind a USB adapter
};

// Yields the ports present, in any order; the port box asks it anew on each refresh.
using PortSource = std::function<std::vector<PortFacts>()>;

// The ports under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM and the present devices
// of the Ports class, each once, in number order; SetupAPI's names where it
// knows the port.
std::vector<PortFacts> SystemPorts();

}  // namespace ql
