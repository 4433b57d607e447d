#include "cli/exit_codes.h"

#include <algorithm>
#include <vector>

#include "upgrade/upgrader.h"

namespace torv2::cli {
namespace {

std::size_t Rank(int code) {
  for (std::size_t i = 0; i < kExitCodes.size(); ++i) {
    if (kExitCodes[i].code == code) return i;
  }
  return 0;
}

// `text` in lines of at most `width` characters, each after `indent` spaces but the first.
std::string Wrapped(std::string_view text, std::size_t width, std::size_t indent) {
  std::string out;
  std::size_t line = 0;
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::string_view word = text.substr(0, space);
    if (line > 0 && line + 1 + word.size() > width) {
      out += "\n" + std::string(indent, ' ');
      line = 0;
    } else if (line > 0) {
      out += ' ';
      ++line;
    }
    out += word;
    line += word.size();
    text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
  }
  return out;
}

// The table by code, as people read it.
std::vector<ExitCode> Ascending() {
  std::vector<ExitCode> ascending(kExitCodes.begin(), kExitCodes.end());
  std::sort(ascending.begin(), ascending.end(),
            [](const ExitCode& x, const ExitCode& y) { return x.code < y.code; });
  return ascending;
}

}  // namespace

int WorseExit(int a, int b) {
  return Rank(a) <= Rank(b) ? a : b;
}

std::string ExitLabel(int code) {
  for (const ExitCode& c : kExitCodes) {
    if (c.code == code) return std::string(c.label);
  }
  return "exit code " + std::to_string(code);
}

int UpgradeExitCode(const upgrade::JobResult& job) {
  switch (job.outcome) {
    case upgrade::JobOutcome::Completed:
      return upgrade::Succeeded(job) ? kExitOk : kExitReportFailure;
    case upgrade::JobOutcome::Refused:
      return kExitNotReady;
    case upgrade::JobOutcome::Failed:
    case upgrade::JobOutcome::NotRun:
      break;
  }
  return job.linkNotReady ? kExitNotReady : kExitStopped;
}

bool CanEndWith(const ExitCode& c, std::string_view command) {
  if (c.commands == "all") return true;
  std::string_view list = c.commands;
  while (!list.empty()) {
    const std::size_t comma = list.find(", ");
    if (list.substr(0, comma) == command) return true;
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 2);
  }
  return false;
}

std::string ExitCodeHelp(std::string_view command) {
  constexpr std::size_t kWidth = 94;
  constexpr std::size_t kIndent = 6;
  std::string text;
  if (!command.empty()) {
    text = command == "status" || command == "upgrade"
               ? "Exit codes (with --all, the worst of the programmers'):\n"
               : "Exit codes:\n";
  } else {
    text = "Exit codes (with --all, the worst of the programmers', in this order: ";
    for (std::size_t i = 1; i < kExitCodes.size(); ++i) {
      text += std::to_string(kExitCodes[i].code) + (i + 1 < kExitCodes.size() ? ", " : "):\n");
    }
  }
  for (const ExitCode& c : Ascending()) {
    if (!command.empty() && !CanEndWith(c, command)) continue;
    std::string number = std::to_string(c.code);
    number.resize(kIndent - 2, ' ');
    const std::string meaning = command.empty()
                                    ? std::string(c.meaning) + " [" + std::string(c.commands) + "]"
                                    : std::string(c.meaning);
    text += "  " + number + Wrapped(meaning, kWidth - kIndent, kIndent) + "\n";
  }
  return text;
}

std::string ExitCodeTable() {
  std::string table = "| code | meaning | commands |\n| --- | --- | --- |\n";
  for (const ExitCode& c : Ascending()) {
    table += "| " + std::to_string(c.code) + " | " + std::string(c.meaning) + " | " +
             std::string(c.commands) + " |\n";
  }
  return table;
}

}  // namespace torv2::cli
