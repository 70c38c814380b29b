// The control dialog's port box: which ports it lists, how each reads, which
// one is selected. Each entry's item data is its COM number; the COM name is
// what is opened, saved and shown in the status line.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "app/common/settings.h"
#include "app/win/serial_ports.h"

namespace ql {

struct PortEntry {
  int number;
  std::string text;  // "COM7: USB-SERIAL CH340", "COM7" or "COM7 (absent)"
};

// COM1 to COM4, then the other ports `present` in number order, with `keep`
// (a port number, 0 for none) among them when it is not present; ports not
// present are marked " (absent)", the others carry their friendly name.
std::vector<PortEntry> PortEntries(const std::vector<PortFacts>& present, int keep);

// `wanted` (a port number) when it names one; otherwise, when `mayChoose`,
// the USB port when exactly one is present. 0 for none.
int PortToSelect(const std::vector<PortFacts>& present, int wanted, bool mayChoose);

// The port the settings choose: LastPort 0 to 3 are COM1 to COM4; beyond
// them only LastPortName names one, the index alone no longer does. 0 for none.
int RememberedPort(const LinkSettings& settings);

// Lists the ports `source` yields in `box` and selects PortToSelect's port; a
// box that already lists them so is left alone.
void RefreshPortBox(HWND box, const PortSource& source, int wanted, bool mayChoose);

// The number n of the box's selected COMn; 0 when nothing is selected.
int SelectedPort(HWND box);
// The selected port's name ("COM7"); empty when nothing is selected.
std::string SelectedPortName(HWND box);

}  // namespace ql
