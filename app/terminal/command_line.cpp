#include "app/terminal/command_line.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>

#include "app/common/exit_codes.h"
#include "app/common/settings.h"
#include "app/terminal/terminal_output.h"
#include "app/terminal/terminal_text.h"

namespace ql {
namespace {

// Edits that turn `a` into `b`: insertions, deletions, substitutions.
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The candidate `typed` most probably meant: the same but for case, one that
// begins with it, or one a slip or two away; empty when none stands out.
std::string NearMiss(const std::string& typed, const std::vector<std::string>& candidates) {
  std::string best;
  std::size_t bestScore = 3;
  for (const std::string& candidate : candidates) {
    std::size_t score = Distance(Lower(typed), Lower(candidate));
    if (score == 0 || (typed.size() > 3 && candidate.rfind(typed, 0) == 0)) score = 0;
    if (score > (typed.size() <= 2 ? 0 : typed.size() < 5 || candidate.size() < 5 ? 1 : 2)) {
      continue;
    }
    if (score < bestScore) {
      bestScore = score;
      best = candidate;
    }
  }
  return best;
}

std::string Hint(const std::string& nearMiss) {
  return nearMiss.empty() ? std::string() : "; did you mean " + nearMiss + "?";
}

std::string ProgramOf(const CLI::App& app) {
  const CLI::App* top = &app;
  while (top->get_parent() != nullptr) top = top->get_parent();
  return top->get_name();
}

// The apps whose options an argument to `app` may name: it, and the parents
// it lets options fall through to.
std::vector<const CLI::App*> Reach(const CLI::App& app) {
  std::vector<const CLI::App*> apps{&app};
  while (apps.back()->get_fallthrough() && apps.back()->get_parent() != nullptr) {
    apps.push_back(apps.back()->get_parent());
  }
  return apps;
}

const CLI::Option* FindOption(const CLI::App& app, const std::string& name) {
  for (const CLI::App* owner : Reach(app)) {
    for (const CLI::Option* option : owner->get_options()) {
      if (!option->get_positional() && option->check_name(name)) return option;
    }
  }
  return nullptr;
}

std::vector<std::string> OptionNames(const CLI::App& app, bool shortNames) {
  std::vector<std::string> names;
  for (const CLI::App* owner : Reach(app)) {
    for (const CLI::Option* option : owner->get_options()) {
      for (const std::string& name : shortNames ? option->get_snames() : option->get_lnames()) {
        names.push_back((shortNames ? "-" : "--") + name);
      }
    }
  }
  return names;
}

std::vector<const CLI::App*> Commands(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App*) { return true; });
}

std::vector<std::string> CommandNames(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* command : Commands(app)) names.push_back(command->get_name());
  return names;
}

std::vector<const CLI::Option*> Positionals(const CLI::App& app) {
  return app.get_options([](const CLI::Option* option) { return option->get_positional(); });
}

std::string List(const std::vector<std::string>& items, const char* last) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == items.size() ? last : ", ") + items[i];
  }
  return text;
}

std::string NotAnOption(const std::string& typed, const CLI::App& app) {
  const bool single = typed.size() == 2;
  std::string guess = NearMiss(typed, OptionNames(app, single));
  if (guess.empty() && single) guess = NearMiss("-" + typed, OptionNames(app, false));
  return typed + " is not an option of " + app.get_name() +
         (guess.empty() ? " (--help lists them)" : Hint(guess));
}

// Follows the arguments as the parser reads them and tells the first one it
// cannot take.
class Reader {
 public:
  Reader(const CLI::App& app, const std::vector<std::string>& args) : app_(&app), args_(args) {}

  std::string FirstMistake(bool refused) {
    for (at_ = 0; at_ < args_.size(); ++at_) {
      const std::string& arg = args_[at_];
      std::string mistake;
      if (!onlyPositionals_ && arg == "--") {
        onlyPositionals_ = true;
      } else if (!onlyPositionals_ && arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
        if (refused) mistake = LongOption(arg);
      } else if (!onlyPositionals_ && arg.size() > 1 && arg[0] == '-') {
        mistake = ShortOptions(arg, refused);
      } else if (refused) {
        mistake = Positional(arg);
      }
      if (!mistake.empty()) return mistake;
    }
    return refused ? Missing() : std::string();
  }

 private:
  std::string LongOption(const std::string& arg) {
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const CLI::Option* option = FindOption(*app_, name);
    if (option == nullptr) return NotAnOption(name, *app_);
    return Value(option, name, equals != std::string::npos);
  }

  std::string ShortOptions(const std::string& arg, bool refused) {
    // "-port" reads as "-p ort": one dash before a long option's name.
    const std::string word = arg.substr(1, arg.find('=') - 1);
    if (word.size() > 1 && FindOption(*app_, "--" + word) != nullptr) {
      return arg.substr(0, word.size() + 1) + " is not an option of " + app_->get_name() +
             Hint("--" + word);
    }
    if (!refused) return {};
    for (std::size_t i = 1; i < arg.size(); ++i) {
      const std::string name = std::string("-") + arg[i];
      const CLI::Option* option = FindOption(*app_, name);
      if (option == nullptr) return NotAnOption(name, *app_);
      if (option->get_items_expected_max() > 0) return Value(option, name, i + 1 < arg.size());
      Count(option, name);
    }
    return {};
  }

  // An option that takes a value takes the next argument unless it came attached.
  std::string Value(const CLI::Option* option, const std::string& name, bool attached) {
    if (option->get_items_expected_max() == 0) return Count(option, name);
    if (!attached && ++at_ >= args_.size()) {
      return name + " needs its value (" + option->get_type_name() + ") after it";
    }
    return Count(option, name);
  }

  std::string Count(const CLI::Option* option, const std::string& name) {
    const auto [earlier, first] = given_.emplace(option, name);
    const bool repeatable = option->get_items_expected_max() > 1 ||
                            option->get_multi_option_policy() != CLI::MultiOptionPolicy::Throw;
    if (first || repeatable || option->get_items_expected_max() == 0) return {};
    if (earlier->second == name) {
      return name + " is given twice; give one " + option->get_type_name();
    }
    return earlier->second + " and " + name + " are one option, given twice; give one " +
           option->get_type_name();
  }

  std::string Positional(const std::string& arg) {
    const std::vector<const CLI::App*> commands = Commands(*app_);
    for (const CLI::App* command : commands) {
      if (command->check_name(arg)) {
        app_ = command;
        filled_ = 0;
        return {};
      }
    }
    const std::vector<const CLI::Option*> slots = Positionals(*app_);
    const std::string guess = NearMiss(arg, CommandNames(*app_));
    const bool typo = !guess.empty() && arg.find('/') == std::string::npos;
    if (!commands.empty() && (filled_ >= slots.size() || typo)) {
      return "'" + arg + "' is not a command" +
             (typo ? Hint(guess) : ": give " + List(CommandNames(*app_), " or "));
    }
    if (filled_ >= slots.size()) {
      std::vector<std::string> names(slots.size());
      std::transform(slots.begin(), slots.end(), names.begin(),
                     [](const CLI::Option* slot) { return slot->get_name(true); });
      return "'" + arg + "' is one argument too many: " + app_->get_name() +
             (names.empty() ? " takes none" : " takes only " + List(names, " and "));
    }
    ++filled_;
    return {};
  }

  std::string Missing() const {
    if (app_->get_parent() == nullptr && !Commands(*app_).empty()) {
      return "give a command: " + List(CommandNames(*app_), " or ");
    }
    const std::vector<const CLI::Option*> slots = Positionals(*app_);
    for (std::size_t i = filled_; i < slots.size(); ++i) {
      if (slots[i]->get_required()) {
        return app_->get_name() + " needs its " + slots[i]->get_name(true);
      }
    }
    return {};
  }

  const CLI::App* app_;
  const std::vector<std::string>& args_;
  std::size_t at_ = 0;
  bool onlyPositionals_ = false;
  std::size_t filled_ = 0;
  std::map<const CLI::Option*, std::string> given_;
};

// `text` in lines of at most `width` columns, broken between words: the
// lines of a paragraph are run together first, but for lines that begin
// with a space, which are kept as they are.
std::string Wrap(const std::string& text, std::size_t width) {
  std::string wrapped;
  std::string line;
  const auto flush = [&] {
    if (!line.empty()) wrapped += line + "\n";
    line.clear();
  };
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string source = text.substr(start, end - start);
    start = end + 1;
    if (source.empty() || source[0] == ' ') {
      flush();
      wrapped += source + "\n";
      continue;
    }
    std::size_t at = 0;
    while (at < source.size()) {
      const std::size_t space = std::min(source.find(' ', at), source.size());
      const std::string word = source.substr(at, space - at);
      at = space + 1;
      if (word.empty()) continue;
      if (!line.empty() && Columns(line) + 1 + Columns(word) > width) flush();
      line += (line.empty() ? "" : " ") + word;
    }
  }
  flush();
  while (!wrapped.empty() && wrapped.back() == '\n') wrapped.pop_back();
  return wrapped;
}

}  // namespace

void FitHelp(CLI::App& app, std::size_t width) {
  constexpr std::size_t kNameColumns = 26;
  app.get_formatter()->column_width(kNameColumns);
  app.description(Wrap(app.get_description(), width));
  app.footer(Wrap(app.get_footer(), width));
  for (CLI::Option* option : app.get_options()) {
    option->description(Wrap(option->get_description(), width - kNameColumns));
  }
  for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
    command->description(Wrap(command->get_description(), width - kNameColumns));
    FitHelp(*command, width);
  }
}

std::string NotADevice(const CLI::App& app, const std::string& word) {
  if (word.empty() || word.find('/') != std::string::npos) return {};
  std::string guess = NearMiss("--" + word, OptionNames(app, false));
  if (guess.empty() && access(("/dev/" + word).c_str(), F_OK) == 0) guess = "/dev/" + word;
  if (guess.empty()) return {};
  return "'" + word + "' is no device" + Hint(guess);
}

std::string CommandLineMistake(const CLI::App& app, const std::vector<std::string>& args,
                               bool refused) {
  std::string mistake = Reader(app, args).FirstMistake(refused);
  if (mistake.empty() && refused) {
    mistake =
        "the command line is not understood; " + ProgramOf(app) + " --help shows what it takes";
  }
  return mistake;
}

// How the user spelled `option` last on the command line.
std::string OptionAsGiven(const CLI::Option& option, const std::vector<std::string>& args) {
  std::string spelled = option.get_name();
  for (const std::string& arg : args) {
    const std::string name = arg.substr(0, arg.compare(0, 2, "--") == 0 ? arg.find('=') : 2);
    if (arg.size() > 1 && arg[0] == '-' && option.check_name(name)) spelled = name;
  }
  return spelled;
}

unsigned ParseSpeed(const std::string& option, const std::string& text, std::string& error,
                    bool takesAuto) {
  if (takesAuto && text == "auto") return kFindSpeed;
  char* end = nullptr;
  const unsigned long number = std::strtoul(text.c_str(), &end, 10);
  const bool isNumber = !text.empty() && *end == '\0';
  for (const unsigned speed : kSpeeds) {
    if (isNumber && number == speed) return speed;
  }
  std::string guess;
  if (isNumber) {
    for (const unsigned speed : kSpeeds) {
      if (number * 10 > speed * 9ULL && number * 10 < speed * 11ULL) guess = std::to_string(speed);
    }
  }
  // A number means a fixed speed: only those are named for it.
  error = option + ": speed " + text + " is not one of " + SpeedList() +
          (takesAuto && !isNumber ? ", or auto" : "") + Hint(guess);
  return 0;
}

int ParseInOwnWords(CLI::App& app, int argc, const char* const* argv, const char* program,
                    std::ostream& out, std::ostream& err) {
  FitHelp(app);
  const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
  const auto refuse = [&](const std::string& mistake) {
    Say(err, std::string(program) + ": " + mistake);
    return kExitUsage;
  };
  const std::string early = CommandLineMistake(app, args, false);
  if (!early.empty()) return refuse(early);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      // Help and version hold text from outside too (the settings path, from the environment).
      std::ostringstream help;
      const int code = app.exit(e, help, help);
      out << TerminalMessage(help.str()) << std::flush;
      return code;
    }
    return refuse(CommandLineMistake(app, args, true));
  }
  return -1;
}

}  // namespace ql
