#include "cli/programmer_result.h"

#include <cmath>
#include <cstdio>

#include "cli/console_host.h"
#include "upgrade/version_text.h"

namespace torv2::cli {
namespace {

// A text field, or null when it is empty.
nlohmann::json TextOrNull(const std::string& text) {
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(Printable(text));
}

void PutIdentity(nlohmann::json& j, const std::string& name,
                 const std::optional<AttachedProgrammer>& programmer) {
  j["programmer"] = TextOrNull(name);
  j["serial"] = programmer ? TextOrNull(programmer->serial) : nullptr;
  j["port"] = programmer ? TextOrNull(programmer->port) : nullptr;
  j["address"] = programmer ? TextOrNull(programmer->address) : nullptr;
}

// Hundredths, as versions are shown: 2.08 is 208 whatever the double's last bits.
long Hundredths(double version) {
  return std::lround(version * 100.0);
}

// The sockets the device did not report upgraded, by number: "3 5".
std::string BadSockets(const link::SubSocketStatus& sockets) {
  std::string numbers;
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    if (sockets[i] == link::kSocketUpgraded) continue;
    if (!numbers.empty()) numbers += ' ';
    numbers += std::to_string(i + 1);
  }
  return numbers;
}

}  // namespace

std::string Grouped(std::size_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string OutcomeKey(int exitCode) {
  switch (exitCode) {
    case kExitOk:
      return "ok";
    case kExitReportFailure:
      return "report-failure";
    case kExitStopped:
      return "stopped";
    case kExitNotReady:
      return "not-ready";
    case kExitUsage:
      return "usage";
    case kExitInterrupted:
      return "interrupted";
    default:
      return "exit-" + std::to_string(exitCode);
  }
}

nlohmann::json ProgrammerJson(const ProgrammerResult& r) {
  nlohmann::json j = nlohmann::json::object();
  j["schema"] = kJsonSchema;
  j["command"] = r.command;
  PutIdentity(j, r.name, r.programmer);
  j["version_carried"] =
      r.versionCarried ? nlohmann::json(upgrade::FormatVersion(*r.versionCarried)) : nullptr;
  j["version_current"] =
      r.versionCurrent ? nlohmann::json(upgrade::FormatVersion(*r.versionCurrent)) : nullptr;
  // A programmer whose last upgrade did not finish may hold half a sub image, whatever its
  // main image's version says.
  j["up_to_date"] = !r.lastUnfinished && r.versionCurrent && r.versionCarried &&
                    Hundredths(*r.versionCurrent) >= Hundredths(*r.versionCarried);
  j["outcome"] = r.skippedCurrent ? std::string("current") : OutcomeKey(r.exitCode);
  j["exit_code"] = r.exitCode;
  if (r.sockets) {
    nlohmann::json sockets = nlohmann::json::array();
    for (std::size_t i = 0; i < r.sockets->size(); ++i) {
      sockets.push_back(
          {{"socket", i + 1}, {"state", (*r.sockets)[i] == link::kSocketUpgraded ? "OK" : "BAD"}});
    }
    j["sockets"] = std::move(sockets);
  } else {
    j["sockets"] = nullptr;
  }
  j["cause"] = r.cause ? CauseObject(*r.cause) : nlohmann::json(nullptr);
  j["bytes_written"] = r.mainBytesWritten + r.subBytesWritten;
  j["time_ms"] = r.took.count();
  if (r.lastUnfinished) {
    j["last_unfinished"] = {{"time_utc", r.lastUnfinished->timeUtc},
                            {"outcome", r.lastUnfinished->outcome},
                            {"cause", r.lastUnfinished->cause}};
  }
  return j;
}

nlohmann::json ListedJson(const AttachedProgrammer& programmer) {
  nlohmann::json j = nlohmann::json::object();
  PutIdentity(j, IdentityOf(programmer), programmer);
  j["detail"] = TextOrNull(programmer.detail);
  // Windows names devices by path as well.
  if (!programmer.interfacePath.empty()) {
    j["interface_path"] = PathText(programmer.interfacePath);
    j["location_path"] = programmer.locationPath.empty()
                             ? nlohmann::json(nullptr)
                             : nlohmann::json(PathText(programmer.locationPath));
  }
  return j;
}

upgrade::Cause NoProgrammerCause(const std::vector<link::UncheckedDevice>& unchecked) {
  upgrade::Cause cause;
  cause.at.step = upgrade::ExchangeStep::Opening;
  cause.failure.what = link::Happened::NotFound;
  cause.failure.unchecked = unchecked;
  return cause;
}

std::string FailedParts(const ProgrammerResult& r) {
  // An interrupted job stopped where the interrupt found it: nothing there failed.
  if (r.exitCode == kExitOk || r.exitCode == kExitInterrupted) return {};
  std::string text;
  if (r.cause) {
    text = upgrade::DescribeStep(r.cause->at) + ": " + link::DescribeHappened(r.cause->failure);
  }
  if (r.sockets) {
    const std::string bad = BadSockets(*r.sockets);
    if (!bad.empty()) {
      if (!text.empty()) text += "; ";
      text += (bad.size() == 1 ? "socket " : "sockets ") + bad + " not upgraded";
    }
  }
  return text;
}

std::string SummaryText(std::span<const ProgrammerResult> results) {
  std::size_t width = std::string_view("programmer").size();
  for (const ProgrammerResult& r : results) width = std::max(width, r.name.size());
  const auto pad = [](std::string text, std::size_t to) {
    text.resize(std::max(text.size(), to), ' ');
    return text;
  };
  std::string out = "== summary ==\n" + pad("programmer", width) + "  exit  result\n";
  for (const ProgrammerResult& r : results) {
    const std::string parts = FailedParts(r);
    out += pad(r.name, width) + "  " + pad(std::to_string(r.exitCode), 4) + "  " +
           ExitLabel(r.exitCode) + (parts.empty() ? "" : ": " + parts) + "\n";
  }
  return out;
}

std::string WrittenLine(const ProgrammerResult& r) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(r.took.count()) / 1000.0);
  std::string line = "wrote " + Grouped(r.mainBytesWritten + r.subBytesWritten) + " bytes";
  if (r.subBytesWritten > 0) {
    line += " (main " + Grouped(r.mainBytesWritten) + " + sub " + Grouped(r.subBytesWritten) + ")";
  }
  return line + " in " + seconds + " s";
}

std::string JsonText(const nlohmann::json& document) {
  return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace torv2::cli
