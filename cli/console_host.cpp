#include "cli/console_host.h"

namespace torv2::cli {
namespace {

void AppendLine(std::string& out, std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n') continue;
    out += line[i];
  }
  if (out.empty() || out.back() != '\n') out += '\n';
}

}  // namespace

void ConsoleHost::ShowMessage(std::string_view text) {
  progress_.EndLine();
  std::string line = device_.empty() ? std::string() : device_ + ": ";
  line.append(text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void ConsoleHost::ShowResult(const upgrade::UpgradeReport& report) {
  progress_.EndLine();  // the bar (stderr) and the report (stdout) may share a terminal
  const std::string text =
      (device_.empty() ? std::string() : "== " + device_ + " ==\n") + FormatReport(report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string FormatReport(const upgrade::UpgradeReport& report) {
  std::string out;
  AppendLine(out, report.m_strMainResult);
  AppendLine(out, report.m_strSubResult);
  AppendLine(out, report.m_strSocketTable);
  AppendLine(out, report.m_strUpgradeVersion);
  AppendLine(out, report.m_strCurrentVersion);
  return out;
}

}  // namespace torv2::cli
