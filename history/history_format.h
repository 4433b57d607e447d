#pragma once
// The history as the command line shows it: a table, JSON, CSV, or one line per programmer.
// Rows come newest first. Text from a device (its serial number) is shown without its control
// characters and kept from starting a spreadsheet formula.

#include <span>
#include <string>

#include "history/attempt_row.h"

namespace torv2::history {

std::string FormatTable(std::span<const AttemptRow> rows);
std::string FormatJson(std::span<const AttemptRow> rows);  // an array of objects, one per row
std::string FormatCsv(std::span<const AttemptRow> rows);   // a header line, then one per row

// One line per programmer, by name: the version it last reported and how its latest upgrade
// attempt ended.
std::string FormatSummary(std::span<const AttemptRow> rows);
// The same as JSON: an array of objects, one per programmer by name, with "device", "version",
// "last_upgrade" (its time), "outcome" and "detail" (null where the line shows "-").
std::string FormatSummaryJson(std::span<const AttemptRow> rows);

}  // namespace torv2::history
