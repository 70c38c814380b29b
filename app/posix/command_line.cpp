#include "app/posix/command_line.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "app/common/settings.h"
#include "app/common/version.h"
#include "app/terminal/terminal_output.h"

namespace ql {
namespace {

constexpr char kDescription[] =
    "Serves a handheld's file manager over a serial line: lists desktop folders, sends desktop\n"
    "files and stores uploads, as the handheld asks. Runs until Ctrl+C or SIGTERM, then saves\n"
    "its settings.";

constexpr char kFooter[] =
    "Examples:\n"
    "  quarnelix-link --port /dev/ttyUSB0 --speed 115200\n"
    "  quarnelix-link --port /dev/ttyS0 --drive C=~/handheld --drive D=/media/usb\n"
    "\n"
    "Settings file: section [options] (LastPort, LastSpeed, ...) as on Windows; section [ports]\n"
    "maps COM1 ... COM4 to devices (COM1=/dev/ttyS0), and LastDevice there keeps a device\n"
    "served that none of them names; section [drives] maps drive letters to folders\n"
    "(C=/home/me/handheld, ~ for your home folder). Without a C: there, C: is\n"
    "~/Handheld, made for you alone when missing. Uploads land in C:\\; serving the whole\n"
    "home folder (--drive C=~) would let them sit beside the files a login reads.\n"
    "\n"
    "A serial device needs read and write permission: on most systems join the group that owns\n"
    "it, for example 'sudo usermod -aG dialout $USER', then log in again.";

}  // namespace

int ParseCommandLine(int argc, const char* const* argv, CommandLine& options) {
  CLI::App app(kDescription, "quarnelix-link");
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("quarnelix-link ") + kVersion,
                       "Print the version and exit");
  app.add_option("--port", options.port,
                 "Serial device to serve, for example /dev/ttyUSB0 (default: the device last\n"
                 "served; at first COM1 = /dev/ttyS0)")
      ->type_name("DEVICE");
  app.add_option(
         "--speed", options.speed,
         "Line speed in baud: one of " + SpeedList() + " (default: the settings' LastSpeed, 19200)")
      ->type_name("BAUD")
      ->check([](const std::string& text) -> std::string {
        for (const unsigned speed : kSpeeds) {
          if (text == std::to_string(speed)) return {};
        }
        return "speed " + text + " is not one of " + SpeedList();
      });
  app.add_option("--drive", options.drives,
                 "Serve host folder DIR as drive X:, for example --drive C=~/handheld; repeat for\n"
                 "more drives (added to the settings' [drives] for this run; default C: is\n"
                 "~/Handheld)")
      ->type_name("X=DIR");
  app.add_option("--codepage", options.codePage,
                 "The handheld's character set for names, for example CP1250 (default " +
                     std::string(kDefaultCodePage) + ")")
      ->type_name("NAME");
  app.add_option("--settings", options.settingsPath,
                 "Settings file to read and save (default\n"
                 "$XDG_CONFIG_HOME/quarnelix-link/Quarnelix_link.ini, i.e. under ~/.config)")
      ->type_name("FILE");
  app.add_flag("--quiet", options.quiet,
               "Leave out the activity lines (each listing, download and upload); errors and\n"
               "the port's status lines stay");
  app.add_flag("--trace", options.trace, "Write the debug trace to standard error, timestamped");
  app.add_flag("--list-ports", options.listPorts,
               "List the serial devices present: stable name, what each is, and whether you may\n"
               "open it; then exit");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "quarnelix-link: " << e.what() << " (see quarnelix-link --help)\n";
    return kExitUsage;
  }
  return -1;
}

}  // namespace ql
