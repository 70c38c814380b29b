// Which device quarnelix-link serves: one decision from the device the
// command line gives, the one the settings remember and the adapters present,
// made again while it waits for one to be plugged in.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/terminal/port_list.h"

namespace ql {

struct DeviceChoice {
  enum class Action {
    kServe,   // open `device`
    kWait,    // nothing to serve yet: look again when the adapters change
    kAsk,     // several adapters and nothing to choose by: the user names one
    kRefuse,  // the device served last is gone, and no adapter stands in for it
  };
  Action action = Action::kWait;
  std::string device;
  std::string sentence;  // what to tell the user; empty: nothing to say
};

// `given`: the device the command line names, empty for none. `remembered`:
// the one the settings name (see RememberedDevice), empty for none.
// `present(device)`: whether it exists now. A built-in port is served only
// when given or remembered; otherwise the one USB adapter present, also in
// place of a remembered device that is gone.
DeviceChoice Decide(const std::string& given, const std::string& remembered,
                    const std::vector<PortEntry>& ports,
                    const std::function<bool(const std::string&)>& present);

}  // namespace ql
