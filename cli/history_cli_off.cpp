// The command line without a history (the Windows build: Debian carries no SQLite for it).
#include "cli/history_cli.h"

#include "cli/exit_codes.h"

namespace torv2::cli {

struct HistoryCli::State {};

HistoryCli::HistoryCli() = default;
HistoryCli::~HistoryCli() = default;

bool HistoryCli::Available() {
  return false;
}

void HistoryCli::AddTo(CLI::App&) {}

int HistoryCli::CheckArguments(const std::string&) {
  return 0;
}

int HistoryCli::Show(const std::string&, bool) {
  return kExitUsage;
}

std::unique_ptr<upgrade::AttemptObserver> HistoryCli::ObserverFor(const std::string&,
                                                                  const std::string&,
                                                                  const std::string&, bool) {
  return nullptr;
}

std::optional<UnfinishedUpgrade> HistoryCli::LastUnfinished(const std::string&) {
  return std::nullopt;
}

}  // namespace torv2::cli
