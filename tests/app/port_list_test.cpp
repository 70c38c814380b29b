// --list-ports and the adapter a plain run chooses, fed from a made-up
// enumeration (a pseudo terminal stands in for an adapter), and once from
// the library on this machine.
#include "app/terminal/port_list.h"

#include <gtest/gtest.h>

#include "app/posix/device_choice.h"
#include "tests/serial/pty_pair.h"
#include "tests/tools/child_process.h"

namespace ql::testing {
namespace {

using Transport = FoundPort::Transport;

TEST(PortList, ListsAdaptersWithStableNamesAndLeavesOutTheRest) {
  ScratchFolder scratch;
  const fs::path byId = scratch.path() / "by-id";
  fs::create_directories(byId);
  PtyPair usb;
  PtyPair uart;
  ASSERT_NE(*usb.path(), '\0');
  const std::string stable = (byId / "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0").string();
  fs::create_symlink(usb.path(), stable);
  fs::create_symlink(scratch.path() / "gone", byId / "usb-unplugged-if00-port0");

  FoundPort adapter{usb.path(),
                    Transport::kUsb,
                    0x0403,
                    0x6001,
                    "FTDI",
                    "FT232R \x1b[2JUSB UART",  // a hostile descriptor
                    "A1B2C3",
                    "FT232R USB UART"};
  const std::vector<FoundPort> found = {
      adapter,
      {uart.path(), Transport::kBuiltIn, -1, -1, "", "", "", fs::path(uart.path()).filename()},
      {"/dev/rfcomm0", Transport::kBluetooth, -1, -1, "", "", "", "rfcomm0"},
      {"/dev/cu.Bluetooth-Incoming-Port", Transport::kBuiltIn, -1, -1, "", "", "", "Bluetooth"},
      {"/dev/cu.debug-console", Transport::kBuiltIn, -1, -1, "", "", "", "debug-console"},
  };
  const std::vector<PortEntry> ports = DescribePorts(found, byId.string());
  ASSERT_EQ(ports.size(), 2u) << FormatPortList({ports});
  const PortEntry& listedUsb = ports[0].device == usb.path() ? ports[0] : ports[1];
  const PortEntry& listedUart = ports[0].device == usb.path() ? ports[1] : ports[0];
  EXPECT_TRUE(listedUsb.usb);
  EXPECT_EQ(listedUsb.stableNames, std::vector<std::string>{stable});
  EXPECT_EQ(listedUsb.description, "FTDI FT232R \\x1b[2JUSB UART (USB 0403:6001, serial A1B2C3)");
  EXPECT_EQ(listedUsb.refusal, "") << "the test's own pseudo terminal";
  EXPECT_FALSE(listedUart.usb);
  EXPECT_EQ(listedUart.description, "built-in serial port");

  const std::string text = FormatPortList({ports});
  EXPECT_NE(text.find("  stable name: " + stable + "\n  you may open it\n"), std::string::npos)
      << text;
  EXPECT_EQ(FormatPortList({}).rfind("No serial adapter found.", 0), 0u);
  EXPECT_EQ(FormatPortList({{}, EACCES}),
            "The serial devices could not be listed (Permission denied); name the device with "
            "--port.\n");
  const PortEntry denied{"/dev/ttyS0", {}, "", "You may not use /dev/ttyS0: ...", false};
  EXPECT_EQ(FormatPortList({{denied}}), "/dev/ttyS0\n  You may not use /dev/ttyS0: ...\n");
}

// The library on this machine: whatever it finds exists, and nothing fails.
TEST(PortList, ListsThisMachinesPorts) {
  const PortList list = ListPorts();
  EXPECT_EQ(list.error, kSuccess) << FormatPortList(list);
  for (const PortEntry& port : list.ports) EXPECT_TRUE(fs::exists(port.device)) << port.device;
}

// The device a run serves: given, remembered, or the one USB adapter present.
TEST(DeviceChoice, ServesWhatIsClearWaitsOrAsksOtherwise) {
  const PortEntry usb0{"/dev/ttyUSB0", {}, "FTDI FT232R", "", true};
  const PortEntry acm0{"/dev/ttyACM0", {}, "", "", true};
  const PortEntry uart{"/dev/ttyS0", {}, "built-in serial port", "", false};
  using A = DeviceChoice::Action;
  struct Case {
    const char* given;
    const char* remembered;
    std::vector<PortEntry> ports;
    A action;
    const char* device;
  };
  for (const Case& c : {
           Case{"/dev/ttyS1", "", {usb0}, A::kServe, "/dev/ttyS1"},        // given: no question
           Case{"", "/dev/ttyS0", {uart, usb0}, A::kServe, "/dev/ttyS0"},  // remembered, present
           Case{"", "", {uart, usb0}, A::kServe, "/dev/ttyUSB0"},  // the adapter, not the UART
           Case{"", "", {uart}, A::kWait, ""},       // a first day: built-in ports wait
           Case{"", "", {}, A::kWait, ""},           // nothing yet: wait for one
           Case{"", "", {usb0, acm0}, A::kAsk, ""},  // two: the user chooses
           Case{"", "/dev/gone", {usb0}, A::kServe, "/dev/ttyUSB0"},  // one stands in
           Case{"", "/dev/gone", {usb0, acm0}, A::kAsk, ""},
           Case{"", "/dev/gone", {uart}, A::kRefuse, ""},
       }) {
    const DeviceChoice choice = Decide(c.given, c.remembered, c.ports, [](const std::string& d) {
      return d == "/dev/ttyS0" || d == "/dev/ttyS1" || d == "/dev/ttyUSB0";
    });
    EXPECT_EQ(choice.action, c.action) << c.remembered << ": " << choice.sentence;
    EXPECT_EQ(choice.device, c.device) << choice.sentence;
  }
  const auto exists = [](const std::string&) { return false; };
  EXPECT_EQ(Decide("", "/dev/gone", {usb0}, exists).sentence,
            "The device served last, /dev/gone, is not present; serving /dev/ttyUSB0 (FTDI "
            "FT232R), the only serial adapter present; --port chooses another.");
  EXPECT_EQ(Decide("", "", {usb0, acm0}, exists).sentence,
            "Several serial adapters are present; choose one with --port:\n  /dev/ttyUSB0 (FTDI "
            "FT232R)\n  /dev/ttyACM0");
}

// A Mac's tty. device waits for a carrier the handheld never raises: its cu. twin is opened.
TEST(PortList, ATtyNameIsOpenedThroughItsCallUpTwin) {
  ScratchFolder dev;
  WriteText(dev.path() / "cu.usbserial-A1", "");
  const std::string tty = (dev.path() / "tty.usbserial-A1").string();
  const std::string cu = (dev.path() / "cu.usbserial-A1").string();
  EXPECT_EQ(CallUpTwin("/dev/tty.usbmodem1101"), "/dev/cu.usbmodem1101");
  EXPECT_EQ(CallUpTwin("/dev/ttyUSB0"), "");
  EXPECT_EQ(CallUpTwin("/dev/cu.usbmodem1101"), "");

  EXPECT_EQ(ChooseDeviceToOpen(tty, true).device, cu);
  EXPECT_NE(ChooseDeviceToOpen(tty, true).sentence.find("carrier"), std::string::npos);
  const std::string withoutTwin = (dev.path() / "tty.other").string();
  EXPECT_EQ(ChooseDeviceToOpen(withoutTwin, true).device, withoutTwin);
  EXPECT_EQ(ChooseDeviceToOpen(tty, false).device, tty) << "only a Mac has twins";
}

}  // namespace
}  // namespace ql::testing
