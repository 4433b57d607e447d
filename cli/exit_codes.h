#pragma once
// The command line's exit codes: one table, from which --help (and so the man page) is made and
// against which a test holds the README's, with the commands that can end with each code. The
// table runs from the worst code to the best: with --all the exit code is the worst of the
// programmers', in this order.

#include <array>
#include <string>
#include <string_view>

namespace torv2::upgrade {
struct JobResult;
}

namespace torv2::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitReportFailure = 1;
inline constexpr int kExitStopped = 2;
inline constexpr int kExitNotReady = 3;
inline constexpr int kExitUsage = 64;
inline constexpr int kExitInterrupted = 130;  // as a shell reports a command ended by SIGINT

struct ExitCode {
  int code;
  std::string_view label;     // a few words, as --all's summary shows them
  std::string_view meaning;   // in full, as --help and the README show them
  std::string_view commands;  // the commands that can end with it
};

inline constexpr std::array<ExitCode, 6> kExitCodes = {{
    {kExitUsage, "usage error", "usage error", "all"},
    {kExitInterrupted, "interrupted",
     "interrupted (Ctrl-C, SIGTERM): the job stopped at the next transfer boundary, or at once on "
     "a second interrupt",
     "status, upgrade"},
    {kExitStopped, "stopped on an error",
     "stopped on an error: the upgrade stopped part-way (the programmer must be upgraded again), "
     "the programmer has newer firmware than the carried one and nothing was written (without "
     "--allow-older), or the carried images, the history file or the udev rule file cannot be "
     "used",
     "info, status, upgrade, udev-rule, history"},
    {kExitReportFailure, "the report shows a failure",
     "the upgrade completed but the report shows a failure", "upgrade"},
    {kExitNotReady, "not found or not ready",
     "no programmer found or not ready (for status, also when its status or version could not be "
     "read)",
     "status, upgrade, list, udev-rule"},
    {kExitOk, "ok",
     "success: both images verified, the device's verdict \"OK\", all eight sockets upgraded (for "
     "status: the programmer's status and version read)",
     "all"},
}};

// The worse of two exit codes, by the table's order; a code the table lacks is the worst.
int WorseExit(int a, int b);
// The code's few words; "exit code N" for a code the table lacks.
std::string ExitLabel(int code);

// The exit code of an upgrade job's outcome: 0 only for a job that succeeded (upgrade::Succeeded);
// 1 for a completed job whose report shows a failure; 2 for a job that stopped on an error; 3
// when the programmer was missing or refused.
int UpgradeExitCode(const upgrade::JobResult& job);

// The exit codes as --help shows them after the commands; for one command (its --help), only
// those it can end with.
std::string ExitCodeHelp(std::string_view command = {});

// Whether `command` can end with the code.
bool CanEndWith(const ExitCode& code, std::string_view command);

// The exit codes as the README's table (Markdown), one row per code.
std::string ExitCodeTable();

}  // namespace torv2::cli
