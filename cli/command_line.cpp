#include "cli/command_line.h"

#include <CLI/CLI.hpp>

#include "cli/exit_codes.h"
#include "cli/history_cli.h"
#include "program_version.h"
#ifndef _WIN32
#include "cli/udev_rule.h"
#endif

namespace torv2::cli {
namespace {

// What --help shows after the exit codes (and so the man page).
constexpr const char* kExamples = R"(Messages and progress go to stderr, the report to stdout.

Examples:
  Upgrade the first programmer found:
    torv2-upgrader-cli upgrade
  List the attached programmers, then upgrade one of them by its name (or port):
    torv2-upgrader-cli list
    torv2-upgrader-cli --device VIRTUAL1 upgrade
  Upgrade every attached programmer at the same time, with progress as lines for a log:
    torv2-upgrader-cli --all --progress lines upgrade
  Then see each programmer's version and how its last upgrade ended:
    torv2-upgrader-cli history --summary)";

std::string HelpFooter() {
  return ExitCodeHelp() + "\n" + kExamples;
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, Options& options, HistoryCli& history) {
  CLI::App app{"Upgrades the firmware of a ZARN TORV II multi-socket device programmer over USB.",
               "torv2-upgrader-cli"};
  app.get_formatter()->label("SUBCOMMAND", "COMMAND");
  app.set_version_flag("--version", "torv2-upgrader-cli " TORV2_PROGRAM_VERSION);
  app.footer(HelpFooter());
  app.require_subcommand(1);
  app.add_flag("--virtual", options.useVirtual,
               "Use the built-in virtual programmer in this process (no USB)");
  auto* device = app.add_option(
      "--device", options.device,
      "The programmer with this name, port or BUS:ADDR (see list). A BUS:ADDR names it only as "
      "it is now: the address changes when the programmer restarts, so it is followed by its "
      "serial number and port from then on");
  app.add_flag("--all", options.all,
               "Every attached programmer at the same time (status, upgrade); the exit code is "
               "the worst of them")
      ->excludes(device);
  app.add_option("--progress", options.progress,
                 "How progress shows on stderr: a bar (tty), a line per step of ten percent "
                 "(lines), JSON objects (json) or not at all (none); auto: tty on a terminal, "
                 "else lines")
      ->check(CLI::IsMember({"auto", "tty", "lines", "json", "none"}));
  app.add_flag("--trace", options.trace,
               "Show every frame, reply, record and acknowledgement on stderr");
  auto* verbose =
      app.add_flag("-v,--verbose", options.verbose, "Say each step on stderr as it happens");
  app.add_flag("-q,--quiet", options.quiet, "Print only errors and the report")->excludes(verbose);
  app.add_flag("--json", options.json, "Print the result on stdout as one JSON document");
  app.add_flag("--allow-older", options.allowOlder,
               "Upgrade a programmer whose firmware is newer than the carried one");
  app.add_subcommand("info",
                     "Show the program's version, the carried images and their firmware version");
  app.add_subcommand("status", "Check the programmer and show both versions");
  app.add_subcommand("upgrade", "Write both images, verify them and show the report");
  app.add_subcommand("list", "List the attached programmers");
#ifndef _WIN32
  auto* udevRule = app.add_subcommand(
      "udev-rule",
      "Print the udev rule that lets a user without root open the attached programmers (run as "
      "root to find them)");
  options.rulesDir = kUdevRulesDir;
  udevRule->add_flag("--install", options.install,
                     "Write it to the rules directory and have udev read it again");
  udevRule->add_option("--rules-dir", options.rulesDir, "Where --install writes the rule")
      ->capture_default_str();
  udevRule->add_option("--id", options.ruleId,
                       "Write the rule for this USB vendor and product id (VID:PID, hexadecimal, "
                       "as lsusb shows it; again for more) without looking for a programmer");
  udevRule->add_option("--group", options.ruleGroup,
                       "Let the members of GROUP open the programmers too (users without a "
                       "seat, e.g. over SSH)");
#endif
  history.AddTo(app);
  options.history = &history;
  for (CLI::App* command : app.get_subcommands({})) command->group("Commands");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  options.command = app.get_subcommands().front()->get_name();
  return std::nullopt;
}

}  // namespace torv2::cli
