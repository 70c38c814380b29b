// The words both terminal programs use for a command line they cannot take,
// and the speed option they share.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace ql {

// What is wrong with `args` (without the program's name) for `app`, in one
// sentence that names the option or argument at fault and, for a near miss,
// the one that was probably meant; empty when nothing is found. Read before
// parsing it finds what the parser would take silently the wrong way ("-port"
// as "-p ort"); after a refusal, the cause.
std::string CommandLineMistake(const CLI::App& app, const std::vector<std::string>& args,
                               bool refused);

// Parses `argv` for `app`: -1 to go on, else the exit code once help or the
// version went to `out`, or the mistake, as "PROGRAM: sentence", to `err`.
int ParseInOwnWords(CLI::App& app, int argc, const char* const* argv, const char* program,
                    std::ostream& out, std::ostream& err);

// Makes `app`'s help, and its commands', fit `width` columns: option
// descriptions wrapped beside their names, the description and the footer
// wrapped paragraph by paragraph (indented lines, such as examples, kept).
void FitHelp(CLI::App& app, std::size_t width = 80);

// For a word given where a device goes but that names no path: the sentence
// that says it is no device and names what was probably meant (an option,
// such as --list-ports for "list-ports", or the device under /dev); empty
// when there is no better guess than the word itself.
std::string NotADevice(const CLI::App& app, const std::string& word);

// How the user spelled `option` (-b, --baud or --speed) the last time.
std::string OptionAsGiven(const CLI::Option& option, const std::vector<std::string>& args);

// What ParseSpeed gives for "auto": the server finds the handheld's speed itself.
constexpr unsigned kFindSpeed = ~0u;

// The speed given as `option` `text`, or 0 with the reason in `error`. With
// `takesAuto`, "auto" gives kFindSpeed.
unsigned ParseSpeed(const std::string& option, const std::string& text, std::string& error,
                    bool takesAuto = false);

}  // namespace ql
