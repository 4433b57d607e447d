// torv2-upgrader-cli: the upgrader without a window, for scripts and production lines. The
// options and --help are in command_line.cpp, each command in a file of its own (commands.h), the
// exit codes in exit_codes.h.

#include <cstdio>
#include <string>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/console_text.h"
#include "cli/environment.h"
#include "cli/exit_codes.h"
#include "cli/history_cli.h"
#include "cli/interrupts.h"

int main(int argc, char** argv) {
  using namespace torv2::cli;
  ConsoleText console(argc, argv);
  Options options;
  HistoryCli history;
  if (const auto ended = ParseCommandLine(console.argc(), console.argv(), options, history)) {
    return *ended;
  }
  // A --history or --since that cannot be right is refused before any programmer is opened.
  if (const int refused = history.CheckArguments(options.command); refused != 0) return refused;

  std::string wrong;
  options.timeouts = LinkTimeoutsFromEnvironment(wrong);
  if (!wrong.empty()) {
    std::fprintf(stderr, "torv2-upgrader-cli: %s\n", wrong.c_str());
    return kExitUsage;
  }

  if (options.command == "info") return RunInfo(options);
  if (options.command == "list") return RunList(options);
#ifndef _WIN32
  if (options.command == "udev-rule") return RunUdevRule(options);
#endif
  if (options.command == "history") return history.Show(options.device, options.json);
  // Ctrl-C and SIGTERM stop the work at the next transfer boundary from here on.
  Interrupts interrupts;
  return RunStatusOrUpgrade(options, interrupts);
}
