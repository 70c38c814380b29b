// --list-ports over folders laid out as /dev, /dev/serial/by-id and
// /sys/class/tty are, with a pseudo terminal standing in for an adapter.
#include "app/posix/port_list.h"

#include <gtest/gtest.h>

#include "tests/serial/pty_pair.h"
#include "tests/tools/child_process.h"

namespace ql::testing {
namespace {

struct FakeSystem {
  ScratchFolder scratch;
  PortFolders folders;
  fs::path sys;

  FakeSystem() : sys(scratch.path() / "sys") {
    folders.devices = (scratch.path() / "dev").string();
    folders.byId = (scratch.path() / "dev" / "serial" / "by-id").string();
    folders.ttyClass = (sys / "class" / "tty").string();
    fs::create_directories(folders.byId);
    fs::create_directories(folders.ttyClass);
  }

  // A tty whose device folder is `deviceFolder` under the fake sysfs.
  void AddTty(const std::string& name, const fs::path& deviceFolder, const fs::path& node) {
    fs::create_directories(sys / deviceFolder);
    fs::create_directories(fs::path(folders.ttyClass) / name);
    fs::create_directory_symlink(sys / deviceFolder, fs::path(folders.ttyClass) / name / "device");
    fs::create_symlink(node, fs::path(folders.devices) / name);
  }
};

TEST(PortList, NamesAUsbAdapterByItsStableNameAndDescriptors) {
  FakeSystem system;
  PtyPair adapter;
  ASSERT_NE(*adapter.path(), '\0');
  const fs::path usb = "devices/usb1/1-1";
  system.AddTty("ttyUSB0", usb / "1-1:1.0" / "ttyUSB0", adapter.path());
  WriteText(system.sys / usb / "idVendor", "0403\n");
  WriteText(system.sys / usb / "idProduct", "6001\n");
  WriteText(system.sys / usb / "manufacturer", "FTDI\n");
  WriteText(system.sys / usb / "product", "FT232R \x1b[2JUSB UART\n");  // hostile descriptor
  WriteText(system.sys / usb / "serial", "A1B2C3\n");
  const std::string stable = system.folders.byId + "/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
  fs::create_symlink("../../ttyUSB0", stable);
  fs::create_symlink("../../gone", system.folders.byId + "/usb-unplugged-if00-port0");

  // A UART slot that found no chip at boot, and a virtual console, are no ports.
  system.AddTty("ttyS1", "devices/platform/serial8250", adapter.path());
  WriteText(fs::path(system.folders.ttyClass) / "ttyS1" / "type", "0\n");
  fs::create_directories(fs::path(system.folders.ttyClass) / "tty1");

  const std::vector<PortEntry> ports = ListPorts(system.folders);
  ASSERT_EQ(ports.size(), 1u) << FormatPortList(ports);
  EXPECT_EQ(ports[0].device, system.folders.devices + "/ttyUSB0");
  EXPECT_EQ(ports[0].stableNames, std::vector<std::string>{stable});
  EXPECT_EQ(ports[0].description, "FTDI FT232R ?[2JUSB UART (USB 0403:6001, serial A1B2C3)");
  EXPECT_EQ(ports[0].refusal, "") << "the test's own pseudo terminal";
  const std::string text = FormatPortList(ports);
  EXPECT_NE(text.find("  stable name: " + stable + "\n  you may open it\n"), std::string::npos)
      << text;
}

TEST(PortList, SaysWhatItKnowsOfOtherPorts) {
  FakeSystem system;
  PtyPair uart;
  // A UART under the kernel's serial-port layer, whose own devices say nothing.
  system.AddTty("ttyS0", "devices/pnp0/00:01/00:01:0/00:01:0.0", uart.path());
  const auto bind = [&system](const std::string& device, const std::string& driver) {
    fs::create_directories(system.sys / driver);
    fs::create_directory_symlink(system.sys / driver, system.sys / device / "driver");
  };
  bind("devices/pnp0/00:01/00:01:0/00:01:0.0", "bus/serial-base/drivers/port");
  bind("devices/pnp0/00:01/00:01:0", "bus/serial-base/drivers/ctrl");
  bind("devices/pnp0/00:01", "bus/pnp/drivers/serial");
  // The by-id link of a device the tty class does not show.
  PtyPair other;
  fs::create_symlink(other.path(), system.folders.byId + "/usb-Other_Cable-if00");

  const std::vector<PortEntry> ports = ListPorts(system.folders);
  ASSERT_EQ(ports.size(), 2u) << FormatPortList(ports);
  EXPECT_EQ(ports[0].device, other.path());
  EXPECT_EQ(ports[0].stableNames.size(), 1u);
  EXPECT_EQ(ports[1].description, "driver serial");
  EXPECT_TRUE(ports[1].stableNames.empty());

  EXPECT_EQ(FormatPortList({}).rfind("No serial devices found.", 0), 0u);
  const PortEntry denied{"/dev/ttyS0", {}, "", "You may not use /dev/ttyS0: ..."};
  EXPECT_EQ(FormatPortList({denied}), "/dev/ttyS0\n  You may not use /dev/ttyS0: ...\n");
}

// The device a plain run serves: the one adapter present, USB first.
TEST(PortList, AChoiceOnlyWhenItIsClear) {
  const PortEntry usb0{"/dev/ttyUSB0", {}, "FTDI FT232R", ""};
  const PortEntry acm0{"/dev/ttyACM0", {}, "", ""};
  const PortEntry uart{"/dev/ttyS0", {}, "serial8250", ""};
  struct Case {
    std::vector<PortEntry> ports;
    const char* device;
    bool several;
  };
  for (const Case& c : {
           Case{{}, "", false},                        // none yet: wait for one
           Case{{uart, usb0}, "/dev/ttyUSB0", false},  // the adapter, not the UART
           Case{{usb0, acm0}, "", true},               // two: the user chooses
           Case{{uart}, "/dev/ttyS0", false},          // the COM port the settings name
       }) {
    const AdapterChoice choice = ChooseAdapter(c.ports, "/dev/ttyS0");
    EXPECT_EQ(choice.device, c.device) << choice.sentence;
    EXPECT_EQ(choice.several, c.several) << choice.sentence;
  }
  EXPECT_EQ(ChooseAdapter({uart, usb0}, "/dev/ttyS0").sentence,
            "Serving /dev/ttyUSB0 (FTDI FT232R), the only serial adapter present; --port chooses "
            "another.");
  EXPECT_EQ(ChooseAdapter({uart}, "/dev/ttyS1").device, "") << "a UART the settings do not name";
}

}  // namespace
}  // namespace ql::testing
