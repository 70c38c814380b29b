#include "app/posix/link_command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>

#include "app/common/exit_codes.h"
#include "app/common/settings.h"
#include "app/common/version.h"
#include "app/posix/posix_settings.h"
#include "app/terminal/command_line.h"
#include "app/terminal/port_list.h"
#include "app/terminal/terminal_output.h"

namespace ql {
namespace {

constexpr char kDescription[] =
    "Serves a handheld's file manager over a serial line: lists desktop folders, sends desktop\n"
    "files and stores uploads, as the handheld asks. Runs until Ctrl+C or SIGTERM, then saves\n"
    "its settings.";

std::string Footer() {
  const std::string device = kExampleDevice;
  std::string text = "Examples:\n";
  text += "  quarnelix-link " + device + " -b 115200\n";
  text += "  quarnelix-link " + device + " --speed auto\n";
  text += "  quarnelix-link --port " + device + " --drive C=~/handheld --drive D=~/Documents\n\n";
  text += "Settings file: section [options] (LastPort, LastSpeed, ...) as on Windows; section\n";
  text += "[ports] maps COM1 ... COM4 to devices (say COM1=" + device + "), and\n";
  text +=
      "LastDevice there keeps a device served that none of them names; section [drives]\n"
      "maps drive letters to folders (C=~/handheld, ~ for your home folder). Without a C:\n"
      "there, C: is ~/Handheld, made for you alone when missing. Uploads land in C:\\;\n"
      "serving the whole home folder (--drive C=~) would let them sit beside the files a\n"
      "login reads.\n\n";
  text += kCallUpTwins
              ? "Serve an adapter's cu. device: a tty. one waits for a modem's carrier, so a\n"
                "tty. name is served through its cu. twin."
              : "A serial device needs read and write permission: on most systems join the\n"
                "group that owns it, for example 'sudo usermod -aG dialout $USER', then log\n"
                "in again.";
  return text;
}

}  // namespace

int ParseCommandLine(int argc, const char* const* argv, CommandLine& options, std::ostream& out,
                     std::ostream& err) {
  CLI::App app(kDescription, "quarnelix-link");
  app.footer(Footer());
  app.set_version_flag("-V,--version", std::string("quarnelix-link ") + kVersion,
                       "Print the version and exit");
  std::string device;
  app.add_option("DEVICE", device, "The serial device, as with --port")->type_name("");
  CLI::Option* port =
      app.add_option("-p,--port", options.port,
                     "Serial device to serve, for example " + std::string(kExampleDevice) +
                         "\n(default: the device last served; at first the one adapter present)")
          ->type_name("DEVICE");
  std::string speed;
  CLI::Option* speedOption = app.add_option("-b,--baud,--speed", speed,
                                            "Line speed in baud: one of " + SpeedList() +
                                                ", or auto to find the handheld's from what it\n"
                                                "sends (default: the settings' LastSpeed; auto "
                                                "when there is none)")
                                 ->type_name("BAUD");
  app.add_option("-d,--drive", options.drives,
                 "Serve host folder DIR as drive X:, for example --drive C=~/handheld; repeat for\n"
                 "more drives (added to the settings' [drives] for this run; default C: is\n"
                 "~/Handheld)")
      ->type_name("X=DIR");
  app.add_option("--codepage", options.codePage,
                 "The handheld's character set for names, for example CP1250 (default " +
                     std::string(kDefaultCodePage) + ")")
      ->type_name("NAME");
  app.add_option("--settings", options.settingsPath,
                 "Settings file to read and save (default\n" + DefaultSettingsPath() + ")")
      ->type_name("FILE");
  app.add_flag("-q,--quiet", options.quiet,
               "Leave out the activity lines (each listing, download and upload); errors, the\n"
               "port's status lines and the hint of a handheld at another speed stay");
  app.add_flag("--trace", options.trace, "Write the debug trace to standard error, timestamped");
  app.add_flag("-l,--list-ports", options.listPorts,
               "List the serial devices present: stable name, what each is, and whether you may\n"
               "open it; then exit");

  const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
  const auto refuse = [&err](const std::string& mistake) {
    Say(err, "quarnelix-link: " + mistake);
    return kExitUsage;
  };
  const int parsed = ParseInOwnWords(app, argc, argv, "quarnelix-link", out, err);
  if (parsed >= 0) return parsed;
  std::string mistake = NotADevice(app, device);
  if (!mistake.empty()) return refuse(mistake);
  if (!device.empty()) {
    if (port->count() > 0) {
      return refuse("the device is given twice, " + device + " and " + OptionAsGiven(*port, args) +
                    " " + options.port + "; give it once");
    }
    options.port = device;
  }
  if (speedOption->count() > 0) {
    options.speed = ParseSpeed(OptionAsGiven(*speedOption, args), speed, mistake, true);
    if (options.speed == 0) return refuse(mistake);
  }
  return -1;
}

}  // namespace ql
