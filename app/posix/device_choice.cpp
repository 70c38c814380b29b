#include "app/posix/device_choice.h"

#include <algorithm>

#include "app/terminal/terminal_text.h"

namespace ql {
namespace {

DeviceChoice Choice(DeviceChoice::Action action, std::string device, std::string sentence) {
  DeviceChoice choice;
  choice.action = action;
  choice.device = std::move(device);
  choice.sentence = std::move(sentence);
  return choice;
}

std::string Named(const PortEntry& port) {
  return TerminalText(port.device) +
         (port.description.empty() ? "" : " (" + TerminalText(port.description) + ")");
}

}  // namespace

DeviceChoice Decide(const std::string& given, const std::string& remembered,
                    const std::vector<PortEntry>& ports,
                    const std::function<bool(const std::string&)>& present) {
  using Action = DeviceChoice::Action;
  if (!given.empty()) return Choice(Action::kServe, given, "");
  if (!remembered.empty() && present(remembered)) return Choice(Action::kServe, remembered, "");
  std::vector<const PortEntry*> usb;
  for (const PortEntry& port : ports) {
    if (port.usb) usb.push_back(&port);
  }
  const std::string gone = remembered.empty() ? ""
                                              : "The device served last, " +
                                                    TerminalText(remembered) + ", is not present; ";
  if (usb.size() == 1) {
    std::string sentence = gone.empty() ? "Serving " : gone + "serving ";
    sentence += Named(*usb[0]) + ", the only serial adapter present; --port chooses another.";
    return Choice(Action::kServe, usb[0]->device, sentence);
  }
  if (usb.size() > 1) {
    std::string sentence = gone + (gone.empty() ? "Several" : "several") +
                           " serial adapters are present; choose one with --port:";
    for (const PortEntry* port : usb) sentence += "\n  " + Named(*port);
    return Choice(Action::kAsk, "", sentence);
  }
  if (!gone.empty()) {
    return Choice(Action::kRefuse, "",
                  "the device served last, " + TerminalText(remembered) +
                      ", is not present; plug it in, or choose another with --port "
                      "(--list-ports shows them).");
  }
  return Choice(Action::kWait, "",
                "No serial adapter is present; waiting for one to be plugged in (Ctrl+C ends).");
}

}  // namespace ql
