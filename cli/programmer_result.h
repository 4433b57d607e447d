#pragma once
// What status or upgrade found on one programmer, as a script reads it and as --all's summary
// shows it. One function builds the JSON object of a programmer (docs/json.md), the same for a
// single programmer, for each of --all's and for any output that prints one object per line.

#include <chrono>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/attached_programmers.h"
#include "cli/exit_codes.h"
#include "history/unfinished_upgrade.h"
#include "link/image_transfer.h"
#include "upgrade/cause.h"

namespace torv2::cli {

// The version of the documents' layout: raised when a field changes its meaning or goes away,
// not when one is added.
inline constexpr int kJsonSchema = 1;

struct ProgrammerResult {
  std::string command;                           // "status" or "upgrade"
  std::string name;                              // as the output names it; empty: none reached
  std::optional<AttachedProgrammer> programmer;  // serial number, port and address, when listed
  std::optional<double> versionCarried;          // none when the carried images cannot be used
  std::optional<double> versionCurrent;          // as last read; none when it could not be
  std::optional<double> versionBefore;           // as read at the start, before any writing
  int exitCode = kExitNotReady;
  std::optional<link::SubSocketStatus> sockets;  // an upgrade's, once its sub stage completed
  std::optional<upgrade::Cause> cause;
  std::size_t mainBytesWritten = 0;
  std::size_t subBytesWritten = 0;
  std::chrono::milliseconds took{0};  // the job (upgrade) or the status check
  // The history's word that this programmer's last upgrade before this run did not finish.
  std::optional<history::UnfinishedUpgrade> lastUnfinished;
  // --skip-current: it was on the carried version already and nothing was written.
  bool skippedCurrent = false;
};

// The exit code as one word for scripts: "ok", "report-failure", "stopped", "not-ready",
// "usage", "interrupted"; "exit-N" for a code the table lacks.
std::string OutcomeKey(int exitCode);

// The programmer's object: "schema", "command", "programmer", "serial", "port", "address",
// "version_carried", "version_current", "up_to_date", "outcome" ("current" for one left as it
// was by --skip-current), "exit_code", "sockets",
// "cause", "bytes_written", "time_ms"; "last_unfinished" when the history says so.
nlohmann::json ProgrammerJson(const ProgrammerResult& result);

// A programmer as `list --json` shows it: "programmer", "serial", "port", "address", "detail".
nlohmann::json ListedJson(const AttachedProgrammer& programmer);

// The cause when no programmer could be found or opened, with the devices that could not be
// checked.
upgrade::Cause NoProgrammerCause(const std::vector<link::UncheckedDevice>& unchecked);

// What failed, in a few words: "main read-back chunk 2: read-back differs at offset 12288",
// "sockets 3 5 not upgraded"; empty for a programmer that is fine.
std::string FailedParts(const ProgrammerResult& result);

// --all's summary: a heading, then one line per programmer in the given order, in columns:
// "VIRTUAL2  1     the report shows a failure: main read-back chunk 2: ...".
std::string SummaryText(std::span<const ProgrammerResult> results);

// 729088 as "729,088".
std::string Grouped(std::size_t n);

// The line after a completed upgrade: "wrote 729,088 bytes (main 524,288 + sub 204,800) in
// 4.2 s".
std::string WrittenLine(const ProgrammerResult& result);

// A document as printed on stdout: indented, one line break at its end; bytes that are not
// UTF-8 (from a device) replaced rather than a reason to fail.
std::string JsonText(const nlohmann::json& document);

}  // namespace torv2::cli
