#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "cli/environment.h"
#include "cli/exit_codes.h"
#include "cli/history_cli.h"
#include "cli/nearest_word.h"
#include "cli/shell_completion.h"
#include "program_version.h"
#ifndef _WIN32
#include "cli/udev_rule.h"
#endif

namespace torv2::cli {
namespace {

constexpr const char* kProgram = "torv2-upgrader-cli";

// What the top-level --help (and so the man page) shows after the exit codes.
constexpr const char* kExamples = R"(Options go before or after the command; each command takes
only the options that mean something for it (COMMAND --help lists them).
Messages and progress go to stderr, the report to stdout.

Examples:
  Upgrade the programmer (the only one attached):
    torv2-upgrader-cli upgrade
  List the attached programmers, then upgrade one of them by its name (or port):
    torv2-upgrader-cli list
    torv2-upgrader-cli upgrade --device VIRTUAL1
  Upgrade every attached programmer at the same time, with progress as lines for a log:
    torv2-upgrader-cli upgrade --all --progress lines
  A production line: upgrade each programmer as it is plugged in, until Ctrl-C:
    torv2-upgrader-cli upgrade --watch --skip-current
  The result for a script, as JSON:
    torv2-upgrader-cli status --device VIRTUAL1 --json
  Then see each programmer's version and how its last upgrade ended:
    torv2-upgrader-cli history --summary)";

// What --device takes for status, upgrade and list.
#ifdef _WIN32
constexpr const char* kDeviceHelp =
    "The programmer with this name, port, location path or interface path (see list); it is "
    "followed by its serial number, else its port, when it restarts";
#else
constexpr const char* kDeviceHelp =
    "The programmer with this name, port or BUS:ADDR (see list). A BUS:ADDR names it only as it is "
    "now: the address changes when the programmer restarts, so it is followed by its serial number "
    "and port from then on";
#endif

// The commands, in the order --help shows them.
struct Command {
  const char* name;
  const char* description;
};
constexpr Command kCommands[] = {
    {"info", "Show the program's version, the carried images and their firmware version"},
    {"status", "Check the programmer and show both versions"},
    {"upgrade", "Write both images, verify them and show the report"},
    {"list", "List the attached programmers"},
    {"history", "Show the kept status checks and upgrade attempts, newest first"},
#ifndef _WIN32
    {"udev-rule",
     "Print the udev rule that lets a user without root open the programmers (run as root to "
     "find them, or name them with --id)"},
#endif
};

// The options that more than one command takes, and which commands take them. Each command's own
// options (udev-rule's, history's) are added with the command.
struct SharedOption {
  std::string_view name;
  std::string_view commands;
};
constexpr SharedOption kShared[] = {
    {"--virtual", "list status upgrade"},
    {"--device", "list status upgrade history"},
    {"--all", "status upgrade"},
    {"--progress", "status upgrade"},
    {"--trace", "status upgrade"},
    {"--verbose", "status upgrade"},
    {"--quiet", "status upgrade"},
    {"--json", "info list status upgrade history"},
    {"--allow-older", "upgrade"},
    {"--skip-current", "upgrade"},
    {"--watch", "upgrade"},
    {"--jobs", "upgrade"},
};

bool Takes(std::string_view command, std::string_view option) {
  for (const SharedOption& shared : kShared) {
    if (shared.name != option) continue;
    std::string_view list = shared.commands;
    while (!list.empty()) {
      const std::size_t space = list.find(' ');
      if (list.substr(0, space) == command) return true;
      list = space == std::string_view::npos ? std::string_view() : list.substr(space + 1);
    }
  }
  return false;
}

void AddSharedOptions(CLI::App& command, Options& options) {
  const std::string name = command.get_name();
  if (Takes(name, "--virtual")) {
    command.add_flag("--virtual", options.useVirtual,
                     "Use the built-in virtual programmer in this process (no USB)");
  }
  CLI::Option* device = nullptr;
  if (Takes(name, "--device")) {
    device = command
                 .add_option("--device", options.device,
                             name == "history" ? "Only this programmer (its name as list shows it)"
                                               : kDeviceHelp)
                 ->check(
                     [](const std::string& text) {
                       return text.find_first_not_of(" \t\r\n") == std::string::npos
                                  ? std::string(
                                        "an empty name names no programmer (is a variable "
                                        "unset?)")
                                  : std::string();
                     },
                     "NAME");
  }
  if (Takes(name, "--all")) {
    command
        .add_flag("--all", options.all,
                  "Every attached programmer at the same time; the exit code is the worst of "
                  "them")
        ->excludes(device);
  }
  if (Takes(name, "--progress")) {
    command
        .add_option("--progress", options.progress,
                    "How progress shows on stderr: a bar (tty), a line per step of ten percent "
                    "(lines), JSON objects (json) or not at all (none); auto: tty on a terminal, "
                    "else lines")
        ->check(CLI::IsMember({"auto", "tty", "lines", "json", "none"}));
  }
  if (Takes(name, "--trace")) {
    command.add_flag("--trace", options.trace,
                     "Show every frame, reply, record and acknowledgement on stderr");
  }
  CLI::Option* verbose = nullptr;
  if (Takes(name, "--verbose")) {
    verbose =
        command.add_flag("-v,--verbose", options.verbose, "Say each step on stderr as it happens");
  }
  if (Takes(name, "--quiet")) {
    command.add_flag("-q,--quiet", options.quiet, "Print only errors and the report")
        ->excludes(verbose);
  }
  if (Takes(name, "--json")) {
    command.add_flag("--json", options.json,
                     "Print the result on stdout as one JSON document (docs/json.md)");
  }
  if (Takes(name, "--allow-older")) {
    command.add_flag("--allow-older", options.allowOlder,
                     "Upgrade a programmer whose firmware is newer than the carried one");
  }
  if (Takes(name, "--skip-current")) {
    command.add_flag("--skip-current", options.skipCurrent,
                     "Leave a programmer that is on the carried version already as it is (its "
                     "status checked only)");
  }
  if (Takes(name, "--watch")) {
    CLI::Option* watch =
        command
            .add_flag("--watch", options.watch,
                      "Wait for programmers and upgrade each one as it arrives (those attached "
                      "already too), several at a time, one line on stdout as each ends, until "
                      "Ctrl-C; with --device, only that one")
            ->excludes("--all");
    command
        .add_option("--jobs", options.jobs,
                    "With --watch: the most programmers upgraded at the same time")
        ->type_name("N")
        ->check(CLI::Range(1, 64))
        ->capture_default_str()
        ->needs(watch);
  }
}

#ifndef _WIN32
void AddUdevRuleOptions(CLI::App& command, Options& options) {
  options.rulesDir = kUdevRulesDir;
  command.add_flag("--install", options.install,
                   "Write it to the rules directory and have udev read it again");
  command.add_option("--rules-dir", options.rulesDir, "Where --install writes the rule")
      ->capture_default_str();
  command.add_option("--id", options.ruleId,
                     "Write the rule for this USB vendor and product id (VID:PID, hexadecimal, as "
                     "lsusb shows it; again for more) without looking for a programmer");
  command.add_option("--group", options.ruleGroup,
                     "Let the members of GROUP open the programmers too (users without a seat, "
                     "e.g. over SSH)");
}
#endif

// "; did you mean 'upgrade'?" for the nearest candidate close enough to be a slip, else "".
std::string DidYouMean(std::string_view word, const std::vector<std::string>& candidates) {
  const auto nearest = NearestWord(word, candidates);
  return nearest ? "; did you mean '" + *nearest + "'?" : std::string();
}

// Every option name a command takes ("--device", "-v"), with whether it takes a value.
std::map<std::string, bool> OptionsOf(const CLI::App& command) {
  std::map<std::string, bool> names;
  for (const CLI::Option* option : command.get_options()) {
    if (option->get_positional()) continue;
    const bool value = option->get_items_expected_max() > 0;
    for (const std::string& n : option->get_lnames()) names["--" + n] = value;
    for (const std::string& n : option->get_snames()) names["-" + n] = value;
  }
  return names;
}

std::vector<std::string> Keys(const std::map<std::string, bool>& map) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : map) keys.push_back(key);
  return keys;
}

// The option's name in an argument: "--device" of "--device=X", "" for what is not an option.
std::string OptionName(std::string_view argument) {
  if (argument.size() < 2 || argument[0] != '-' || argument == "--") return {};
  return std::string(argument.substr(0, argument.find('=')));
}

int UsageError(const std::string& text, const std::string& command = {}) {
  std::fprintf(stderr, "%s: %s\nRun '%s%s%s --help' for more.\n", kProgram, text.c_str(), kProgram,
               command.empty() ? "" : " ", command.c_str());
  return kExitUsage;
}

// "status, upgrade" for an option that several commands take.
std::string CommandsTaking(std::string_view option, const CLI::App& app) {
  std::string out;
  for (const CLI::App* command : app.get_subcommands({})) {
    if (OptionsOf(*command).contains(std::string(option))) {
      out += (out.empty() ? "" : ", ") + command->get_name();
    }
  }
  return out;
}

// Which command takes which option, for the top-level --help.
std::string OptionTable(const CLI::App& app) {
  std::map<std::string, std::string> where;
  for (const CLI::App* command : app.get_subcommands({})) {
    for (const auto& [name, value] : OptionsOf(*command)) {
      if (name == "-h" || name == "--help" || name.size() == 2) continue;  // -v: shown as --verbose
      std::string& commands = where[name];
      commands += (commands.empty() ? "" : ", ") + command->get_name();
    }
  }
  std::string text = "Options, before or after the command (COMMAND --help says what each does):\n";
  for (const auto& [name, commands] : where) {
    std::string padded = "  " + name;
    padded.resize(std::max<std::size_t>(padded.size() + 1, 18), ' ');
    text += padded + commands + "\n";
  }
  return text;
}

// Puts the command first, the options after it in the order given, so that every option may go
// before or after the command; says what is wrong when an argument names no command or option,
// or an option the command does not take. Gives the exit code when the program ends here.
std::optional<int> CommandFirst(const CLI::App& app, std::vector<std::string>& arguments) {
  std::map<std::string, bool> all = OptionsOf(app);
  std::vector<std::string> commandNames;
  for (const CLI::App* command : app.get_subcommands({})) {
    commandNames.push_back(command->get_name());
    all.merge(OptionsOf(*command));
  }
  std::optional<std::size_t> at;
  for (std::size_t i = 0; i < arguments.size() && !at; ++i) {
    const std::string& argument = arguments[i];
    const std::string name = OptionName(argument);
    if (name.empty()) {
      at = i;
    } else if (const auto option = all.find(name); option == all.end()) {
      return UsageError("unknown option '" + name + "'" + DidYouMean(name, Keys(all)));
    } else if (option->second && argument.find('=') == std::string::npos) {
      ++i;  // its value
    }
  }
  for (const std::string& argument : arguments) {
    if (argument == "--version") {  // wherever it stands
      arguments = {argument};
      return std::nullopt;
    }
  }
  if (!at) {
    // Only options: --help and --version answer; anything else lacks its command.
    for (const std::string& argument : arguments) {
      const std::string name = OptionName(argument);
      if (name == "-h" || name == "--help" || name == "--version") return std::nullopt;
    }
    std::string names;
    for (const std::string& n : commandNames) names += (names.empty() ? "" : ", ") + n;
    return UsageError("a command is needed: " + names);
  }
  const std::string command = arguments[*at];
  const auto found = std::find(commandNames.begin(), commandNames.end(), command);
  if (found == commandNames.end()) {
    return UsageError("unknown command '" + command + "'" + DidYouMean(command, commandNames));
  }
  const CLI::App* chosen = app.get_subcommand(command);
  const std::map<std::string, bool> takes = OptionsOf(*chosen);
  std::vector<std::string> reordered{command};
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i == *at) continue;
    const std::string& argument = arguments[i];
    const std::string name = OptionName(argument);
    if (name.empty()) {
      return UsageError(command + " takes no argument '" + argument + "'" +
                            (command != "history" && command != "info"
                                 ? " (a programmer is named with --device " + argument + ")"
                                 : ""),
                        command);
    }
    const auto option = takes.find(name);
    if (option == takes.end()) {
      const auto other = all.find(name);
      if (other == all.end()) {
        return UsageError("unknown option '" + name + "'" + DidYouMean(name, Keys(takes)), command);
      }
      const std::string where = CommandsTaking(name, app);
      return UsageError(
          command + " does not take " + name + (where.empty() ? "" : " (" + where + " do)"),
          command);
    }
    reordered.push_back(argument);
    if (option->second && argument.find('=') == std::string::npos && i + 1 < arguments.size()) {
      reordered.push_back(arguments[++i]);
    }
  }
  arguments = std::move(reordered);
  return std::nullopt;
}

// The commands and their options, for the shell completion.
std::vector<CompletedCommand> Shape(const CLI::App& app) {
  std::vector<CompletedCommand> commands;
  for (const CLI::App* command : app.get_subcommands({})) {
    CompletedCommand completed{command->get_name(), {}};
    for (const CLI::Option* option : command->get_options()) {
      if (option->get_positional()) continue;
      const bool value = option->get_items_expected_max() > 0;
      for (const std::string& n : option->get_snames())
        completed.options.push_back({"-" + n, value});
      for (const std::string& n : option->get_lnames())
        completed.options.push_back({"--" + n, value});
    }
    commands.push_back(std::move(completed));
  }
  return commands;
}

// Text as roff that shows as it stands: each line of it, with the roff's own characters made
// harmless.
std::string Roff(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (const char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    lineStart = c == '\n';
  }
  return out;
}

// The man page's sections beyond --help, for help2man's include file: every command's options,
// the exit status, the files and the environment.
std::string ManSections(const CLI::App& app) {
  std::string s = "[COMMANDS IN DETAIL]\n";
  for (const CLI::App* command : app.get_subcommands({})) {
    s += ".SS " + command->get_name() + "\n.nf\n" +
         Roff(command->help(std::string(kProgram), CLI::AppFormatMode::Normal)) + ".fi\n";
  }
  s += "[EXIT STATUS]\n";
  for (const ExitCode& c : kExitCodes) {
    s += ".TP\n.B " + std::to_string(c.code) + "\n" + Roff(std::string(c.meaning)) + " [" +
         Roff(std::string(c.commands)) + "]\n";
  }
  s += ".PP\nWith --all, the exit status is the worst of the programmers', in the order above.\n";
  s += "[FILES]\n"
       ".TP\n.I $XDG_STATE_HOME/torv2\\-upgrader/history.sqlite\n"
       "The history of status checks and upgrade attempts (SQLite), kept by status and upgrade "
       "and shown by history; ~/.local/state/torv2\\-upgrader/history.sqlite when "
       "XDG_STATE_HOME is not set. \\-\\-history names another file, \\-\\-no\\-history keeps "
       "none.\n";
#ifndef _WIN32
  s += ".TP\n.I " + Roff(std::string(kUdevRulesDir) + "/" + kUdevRuleFile) +
       "\nThe udev rule that lets users without root open the programmers, written by "
       "udev\\-rule \\-\\-install.\n";
#endif
  s += "[ENVIRONMENT]\n"
       ".TP\n.B " +
       Roff(kTransferTimeoutVariable) +
       "\nHow long each bulk transfer may take, in milliseconds, from 1 to " +
       std::to_string(kLongestTransferTimeoutMs) +
       " (6000 when not set): shorter to give up sooner on a device that stays silent, longer "
       "for a slow device. Any other value is a usage error (exit status 64).\n"
       ".TP\n.B XDG_STATE_HOME\nWhere the history is kept (see FILES).\n"
       ".TP\n.B HOME\nWhere the history is kept when XDG_STATE_HOME is not set.\n";
  return s;
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, Options& options, HistoryCli& history) {
  CLI::App app{"Upgrades the firmware of a ZARN TORV II multi-socket device programmer over USB.",
               kProgram};
  app.get_formatter()->label("SUBCOMMAND", "COMMAND");
  app.get_formatter()->label("SUBCOMMANDS", "COMMANDS");
  app.set_version_flag("--version", std::string(kProgram) + " " + TORV2_PROGRAM_VERSION);
  app.footer([&app] { return OptionTable(app) + "\n" + ExitCodeHelp() + "\n" + kExamples; });
  app.require_subcommand(1);
  for (const Command& c : kCommands) {
    if (std::string_view(c.name) == "history" && !HistoryCli::Available()) continue;
    CLI::App* command = app.add_subcommand(c.name, c.description);
    command->group("Commands");
    command->footer(ExitCodeHelp(c.name));
    AddSharedOptions(*command, options);
    history.AddTo(*command);
#ifndef _WIN32
    if (command->get_name() == "udev-rule") AddUdevRuleOptions(*command, options);
#endif
  }
  options.history = &history;

  std::vector<std::string> arguments(argv + 1, argv + argc);
  // What the package is made with: the shell completion and the man page's further sections.
  if (arguments.size() == 2 && arguments[0] == "--completion" &&
      (arguments[1] == "bash" || arguments[1] == "zsh")) {
    const std::string script =
        arguments[1] == "bash" ? BashCompletion(Shape(app)) : ZshCompletion(Shape(app));
    std::fwrite(script.data(), 1, script.size(), stdout);
    return kExitOk;
  }
  if (arguments.size() == 1 && arguments[0] == "--man-sections") {
    const std::string text = ManSections(app);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitOk;
  }
  if (const auto ended = CommandFirst(app, arguments)) return ended;
  const std::string command = arguments.empty() ? std::string() : arguments.front();
  try {
    std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them last first
    app.parse(arguments);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {  // --help, --version
      app.exit(e);
      return kExitOk;
    }
    return UsageError(e.what(), command.starts_with('-') ? std::string() : command);
  }
  options.command = app.get_subcommands().front()->get_name();
  return std::nullopt;
}

}  // namespace torv2::cli
