#include "history/history_format.h"

#include <algorithm>
#include <array>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

namespace torv2::history {
namespace {

constexpr std::array<const char*, 13> kColumns{
    "time_utc",       "program",         "kind",       "device",       "bus_address",
    "version_before", "version_carried", "outcome",    "failed_parts", "cause",
    "sockets",        "version_after",   "duration_ms"};

std::array<std::string, 13> Fields(const AttemptRow& r) {
  return {r.timeUtc,
          r.program,
          r.kind,
          r.device,
          r.busAddress,
          r.versionBefore,
          r.versionCarried,
          r.outcome,
          r.failedParts,
          r.cause,
          r.sockets,
          r.versionAfter,
          std::to_string(r.durationMs)};
}

// For a terminal: no control characters.
std::string Printable(std::string text) {
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return text;
}

std::string Padded(const std::string& text, std::size_t width) {
  return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

// Lines of cells in aligned columns, two spaces apart, no trailing blanks.
std::string Columns(const std::vector<std::vector<std::string>>& lines) {
  std::vector<std::size_t> widths;
  for (const auto& line : lines) {
    widths.resize(std::max(widths.size(), line.size()));
    for (std::size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], line[i].size());
  }
  std::string out;
  for (const auto& line : lines) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      text += i + 1 < line.size() ? Padded(line[i], widths[i]) + "  " : line[i];
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  }
  return out;
}

// The failed parts and why: "main; main read-back chunk 2: read-back differs at offset 12288".
std::string Detail(const AttemptRow& r) {
  if (r.failedParts.empty()) return r.cause;
  if (r.cause.empty()) return r.failedParts;
  return r.failedParts + "; " + r.cause;
}

// For the one line per programmer: the failed parts, else why it failed.
std::string ShortDetail(const AttemptRow& r) {
  if (!r.failedParts.empty()) return r.failedParts;
  return r.cause;
}

std::string OrDash(const std::string& text) {
  return text.empty() ? "-" : Printable(text);
}

std::string CsvField(std::string text) {
  if (text.empty()) return text;
  // A cell that starts like a formula is kept as text.
  if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) {
    text.insert(text.begin(), '\'');
  }
  if (text.find_first_of(",\"\r\n") == std::string::npos && text.front() != '\'') return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

std::string FormatTable(std::span<const AttemptRow> rows) {
  std::vector<std::vector<std::string>> lines{{"TIME (UTC)", "DEVICE", "PROGRAM", "KIND", "BEFORE",
                                               "CARRIED", "AFTER", "OUTCOME", "SOCKETS", "SECONDS",
                                               "DETAIL"}};
  for (const AttemptRow& r : rows) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(r.durationMs) / 1000.0);
    lines.push_back({r.timeUtc, OrDash(r.device), r.program, r.kind, OrDash(r.versionBefore),
                     OrDash(r.versionCarried), OrDash(r.versionAfter), r.outcome, OrDash(r.sockets),
                     seconds, Printable(Detail(r))});
  }
  return Columns(lines);
}

std::string FormatJson(std::span<const AttemptRow> rows) {
  nlohmann::json out = nlohmann::json::array();
  for (const AttemptRow& r : rows) {
    nlohmann::json row = nlohmann::json::object();
    const auto fields = Fields(r);
    for (std::size_t i = 0; i + 1 < kColumns.size(); ++i) {
      if (fields[i].empty()) {
        row[kColumns[i]] = nullptr;
      } else {
        row[kColumns[i]] = fields[i];
      }
    }
    row["duration_ms"] = r.durationMs;
    out.push_back(std::move(row));
  }
  // Bytes that are not UTF-8 (a device's serial number) are replaced, not a reason to fail.
  return out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string FormatCsv(std::span<const AttemptRow> rows) {
  std::string out;
  for (std::size_t i = 0; i < kColumns.size(); ++i)
    out += (i ? "," : "") + std::string(kColumns[i]);
  out += "\r\n";
  for (const AttemptRow& r : rows) {
    const auto fields = Fields(r);
    for (std::size_t i = 0; i < fields.size(); ++i) out += (i ? "," : "") + CsvField(fields[i]);
    out += "\r\n";
  }
  return out;
}

namespace {

// What the summary shows of one programmer.
struct Latest {
  std::string version;
  const AttemptRow* upgrade = nullptr;
};

// Each programmer by name: the version it last reported and its latest upgrade attempt.
std::map<std::string, Latest> LatestByDevice(std::span<const AttemptRow> rows) {
  std::map<std::string, Latest> byDevice;
  for (const AttemptRow& r : rows) {  // newest first
    Latest& latest = byDevice[r.device];
    if (latest.version.empty())
      latest.version = !r.versionAfter.empty() ? r.versionAfter : r.versionBefore;
    if (!latest.upgrade && r.kind == "upgrade") latest.upgrade = &r;
  }
  return byDevice;
}

}  // namespace

std::string FormatSummary(std::span<const AttemptRow> rows) {
  const std::map<std::string, Latest> byDevice = LatestByDevice(rows);
  std::vector<std::vector<std::string>> lines{{"DEVICE", "VERSION", "LAST UPGRADE", "OUTCOME"}};
  for (const auto& [device, latest] : byDevice) {
    std::vector<std::string> line{device.empty() ? "(unknown)" : Printable(device),
                                  OrDash(latest.version)};
    if (!latest.upgrade) {
      line.insert(line.end(), {"-", "status checks only"});
    } else {
      const std::string detail = Printable(ShortDetail(*latest.upgrade));
      line.insert(line.end(), {latest.upgrade->timeUtc,
                               latest.upgrade->outcome + (detail.empty() ? "" : ": " + detail)});
    }
    lines.push_back(std::move(line));
  }
  return Columns(lines);
}

std::string FormatSummaryJson(std::span<const AttemptRow> rows) {
  const auto textOrNull = [](const std::string& text) {
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
  };
  nlohmann::json out = nlohmann::json::array();
  for (const auto& [device, latest] : LatestByDevice(rows)) {
    nlohmann::json line = {{"device", textOrNull(device)}, {"version", textOrNull(latest.version)}};
    line["last_upgrade"] = latest.upgrade ? textOrNull(latest.upgrade->timeUtc) : nullptr;
    line["outcome"] = latest.upgrade ? textOrNull(latest.upgrade->outcome) : nullptr;
    line["detail"] = latest.upgrade ? textOrNull(ShortDetail(*latest.upgrade)) : nullptr;
    out.push_back(std::move(line));
  }
  return out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace torv2::history
