#include "cli/console_host.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "cli/interrupts.h"

namespace torv2::cli {
namespace {

void AppendLine(std::string& out, std::string_view line) {
  out += line;
  if (out.empty() || out.back() != '\n') out += '\n';
}

}  // namespace

void ConsoleHost::ShowMessage(std::string_view text) {
  std::string line = device_.empty() ? std::string() : device_ + ": ";
  line.append(text);
  line += '\n';
  line += TakeCauseLines(text, false);  // in one piece with the message
  progress_.Print(line);
}

void ConsoleHost::Step(std::string_view text) {
  if (verbose_) Say(text);
}

void ConsoleHost::Say(std::string_view lines) {
  if (lines.empty()) return;
  progress_.Print(Prefixed(lines));
}

std::string ConsoleHost::Prefixed(std::string_view lines) const {
  std::string out;
  while (!lines.empty()) {
    const std::size_t end = lines.find('\n');
    if (!device_.empty()) out += device_ + ": ";
    out += lines.substr(0, end);
    out += '\n';
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
  }
  return out;
}

void ConsoleHost::SetAdvice(AdviceContext context) {
  std::lock_guard lock(mutex_);
  advice_ = std::move(context);
}

void ConsoleHost::JobStarting() {
  std::lock_guard lock(mutex_);
  advice_.jobStarted = true;
}

void ConsoleHost::ShowResult(const upgrade::UpgradeReport& report) {
  progress_.EndLine();  // the bar (stderr) and the report (stdout) may share a terminal
  const std::string text =
      (device_.empty() ? std::string() : "== " + device_ + " ==\n") + FormatReport(report);
  if (reportTo_) {
    *reportTo_ += text;
  } else {
    WriteOut(text);
  }
  const std::string lines = TakeCauseLines({}, true);
  if (!lines.empty()) progress_.Print(lines);
}

void ConsoleHost::LogCause(const upgrade::Cause& cause) {
  std::lock_guard lock(mutex_);
  causes_.push_back(cause);
  if (!firstCause_) firstCause_ = cause;
}

std::optional<upgrade::Cause> ConsoleHost::FirstCause() {
  std::lock_guard lock(mutex_);
  return firstCause_;
}

void ConsoleHost::FlushCauses() {
  const std::string lines = TakeCauseLines({}, false);
  if (lines.empty()) return;
  progress_.Print(lines);
}

std::string ConsoleHost::TakeCauseLines(std::string_view headline, bool afterReport) {
  std::vector<upgrade::Cause> causes;
  AdviceContext context;
  {
    std::lock_guard lock(mutex_);
    causes.swap(causes_);
    context = advice_;
  }
  std::string lines;
  std::vector<std::string> said;  // what to do, once each, after the causes
  for (const upgrade::Cause& cause : causes) {
    const Advice advice = AdviseOn(cause, context, headline, afterReport);
    if (progress_.mode() == ProgressMode::Json) {
      lines += CauseJson(cause, device_, advice.warning) + "\n";
    } else if (advice.showCause) {
      lines += Prefixed((advice.warning ? "warning: " : "") + CauseLine(cause));
    }
    if (!advice.line.empty() && std::find(said.begin(), said.end(), advice.line) == said.end()) {
      said.push_back(advice.line);
    }
  }
  for (const std::string& line : said) lines += Prefixed(line);
  return lines;
}

std::string CauseLine(const upgrade::Cause& cause) {
  return "cause: " + upgrade::DescribeCause(cause);
}

std::string CauseJson(const upgrade::Cause& cause, const std::string& device, bool warning) {
  nlohmann::json j = CauseObject(cause, device);
  if (warning) j["warning"] = true;
  return j.dump();
}

nlohmann::json CauseObject(const upgrade::Cause& cause, const std::string& device) {
  using link::Happened;
  const link::ExchangeFailure& f = cause.failure;
  nlohmann::json j;
  if (!device.empty()) j["device"] = device;
  j["cause"] = upgrade::DescribeCause(cause);
  j["step"] = upgrade::StepKey(cause.at);
  if (cause.at.number > 0) j["number"] = cause.at.number;
  j["what"] = link::HappenedKey(f.what);
  j["transfer"] = link::TransferStatusName(f.transfer);
  if (f.what == Happened::TimedOut) j["timeout_ms"] = f.timeout.count();
  if (f.before != Happened::None) j["before"] = link::HappenedKey(f.before);
  if (f.what == Happened::ReadBackDiffers) j["offset"] = f.offset;
  if (f.what == Happened::ShortAnswer || f.what == Happened::TooLong) {
    j["got"] = f.got;
    j["wanted"] = f.wanted;
  }
  if (!f.answer.empty()) j["answer"] = link::QuoteDeviceBytes(f.answer, f.got > f.answer.size());
  if (cause.stoppedAt) j["stopped_at"] = upgrade::DescribeStep(*cause.stoppedAt);
  for (const link::UncheckedDevice& d : f.unchecked) {
    j["unchecked"].push_back(
        {{"place", link::DevicePlace(d)}, {"why", link::OpenStatusName(d.why)}});
  }
  return j;
}

std::string FormatReport(const upgrade::UpgradeReport& report) {
  std::string out;
  AppendLine(out, report.mainResult);
  AppendLine(out, report.subResult);
  AppendLine(out, report.socketTable);
  AppendLine(out, report.upgradeVersion);
  AppendLine(out, report.currentVersion);
  return out;
}

}  // namespace torv2::cli
