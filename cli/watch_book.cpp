#include "cli/watch_book.h"

#include <algorithm>
#include <cstdio>

#include "cli/advice.h"
#include "upgrade/version_text.h"

namespace torv2::cli {

std::string Where(const AttachedProgrammer& programmer) {
  return programmer.address.empty() ? programmer.interfacePath : programmer.address;
}

std::vector<WatchBook::Known>::iterator WatchBook::Find(std::uint64_t id) {
  return std::find_if(known_.begin(), known_.end(), [id](const Known& k) { return k.id == id; });
}

bool WatchBook::Arrived(const AttachedProgrammer& programmer) {
  if (!device_.empty()) {
    const AttachedProgrammer one[] = {programmer};
    if (SelectNamed(one, device_).chosen.empty()) return false;
  }
  const std::string name = IdentityOf(programmer);
  const std::string where = Where(programmer);
  for (Known& k : known_) {
    // Told twice. One away may come back at the same place (Windows keeps its path).
    if (!k.away && Where(k.programmer) == where) return false;
  }
  for (Known& k : known_) {
    // Back from a restart during its own attempt: the same attempt.
    if (k.state == State::Running && k.away && k.name == name) {
      k.programmer = programmer;
      k.away = false;
      k.back = true;
      return false;
    }
  }
  known_.push_back({nextId_++, programmer, name});
  return true;
}

void WatchBook::Left(const std::string& where) {
  const auto k = std::find_if(known_.begin(), known_.end(),
                              [&](const Known& known) { return Where(known.programmer) == where; });
  if (k == known_.end()) return;
  if (k->state == State::Running) {
    k->away = true;  // its attempt says whether it was a restart
    k->back = false;
  } else {
    known_.erase(k);
  }
}

std::optional<WatchBook::Attempt> WatchBook::Next() {
  for (Known& k : known_) {
    if (k.state != State::Waiting) continue;
    k.state = State::Running;
    k.away = false;
    k.back = false;
    return Attempt{k.id, k.programmer};
  }
  return std::nullopt;
}

WatchBook::Then WatchBook::Ended(std::uint64_t id, AttemptEnd end) {
  const auto k = Find(id);
  if (k == known_.end()) return Then::Nothing;
  if (k->away || end == AttemptEnd::Interrupted) {
    // It went during the attempt and did not come back: plugged in again, it is a new arrival.
    known_.erase(k);
    return Then::Nothing;
  }
  switch (end) {
    case AttemptEnd::Ok:
      k->state = State::Done;
      k->failures = 0;
      return Then::Nothing;
    case AttemptEnd::Final:
      k->state = State::LeftAlone;
      return Then::Nothing;
    case AttemptEnd::Busy:
      k->state = State::Busy;
      return Then::WaitUntilFree;
    case AttemptEnd::Gone:
      if (k->back) {
        // Pulled out and plugged in again before its attempt saw it go: a new arrival.
        const AttachedProgrammer programmer = k->programmer;
        known_.erase(k);
        known_.push_back({nextId_++, programmer, IdentityOf(programmer)});
        return Then::Nothing;
      }
      k->state = State::Gone;  // its removal is on the way
      return Then::Nothing;
    case AttemptEnd::Failed:
    case AttemptEnd::Interrupted:
      break;
  }
  if (++k->failures >= kMostFailures) {
    k->state = State::LeftAlone;
    return Then::LeftAlone;
  }
  k->state = State::Waiting;
  return Then::TryAgain;
}

void WatchBook::Retry() {
  for (Known& k : known_) {
    if (k.state == State::Busy) k.state = State::Waiting;
  }
}

std::size_t WatchBook::running() const {
  return static_cast<std::size_t>(std::count_if(
      known_.begin(), known_.end(), [](const Known& k) { return k.state == State::Running; }));
}

bool WatchBook::anyBusy() const {
  return std::any_of(known_.begin(), known_.end(),
                     [](const Known& k) { return k.state == State::Busy; });
}

}  // namespace torv2::cli

namespace torv2::cli {
namespace {

std::string VersionOrUnknown(const std::optional<double>& version) {
  return version ? upgrade::FormatVersion(*version) : std::string("?");
}

std::string FailureWords(const ProgrammerResult& result) {
  const std::string parts = FailedParts(result);
  return ExitLabel(result.exitCode) + (parts.empty() ? "" : ": " + parts);
}

}  // namespace

AttemptEnd EndOf(const ProgrammerResult& result, bool allowOlder, bool interrupted) {
  if (result.exitCode == kExitOk) return AttemptEnd::Ok;
  if (interrupted && result.exitCode == kExitInterrupted) return AttemptEnd::Interrupted;
  if (result.cause) {
    switch (result.cause->failure.what) {
      case link::Happened::Busy:
        return AttemptEnd::Busy;
      case link::Happened::DeviceGone:
      case link::Happened::NotFound:
        return AttemptEnd::Gone;
      default:
        break;
    }
  }
  // Newer firmware than the carried one: it stays so however often it is tried.
  if (!allowOlder && result.exitCode == kExitStopped && result.versionCurrent &&
      result.versionCarried && IsNewer(*result.versionCurrent, *result.versionCarried)) {
    return AttemptEnd::Final;
  }
  return AttemptEnd::Failed;
}

std::string WatchLine(const ProgrammerResult& result, AttemptEnd end) {
  std::string outcome;
  switch (end) {
    case AttemptEnd::Ok:
      outcome = result.skippedCurrent ? "current" : "OK";
      break;
    case AttemptEnd::Busy:
      outcome = "busy: another program holds it; tried again when it is free";
      break;
    case AttemptEnd::Gone:
      outcome = "unplugged: " + FailureWords(result) + "; upgraded afresh when it is plugged in";
      break;
    case AttemptEnd::Interrupted:
      outcome = result.mainBytesWritten + result.subBytesWritten > 0
                    ? "interrupted: it must be upgraded again"
                    : "interrupted";
      break;
    case AttemptEnd::Final:
      outcome =
          "left alone: its firmware is newer than the carried one (--allow-older writes "
          "over it)";
      break;
    case AttemptEnd::Failed:
      outcome = "failed: " + FailureWords(result);
      break;
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(result.took.count()) / 1000.0);
  return result.name + "  " + outcome + "  " + VersionOrUnknown(result.versionBefore) + " -> " +
         VersionOrUnknown(result.versionCurrent) + "  " +
         Grouped(result.mainBytesWritten + result.subBytesWritten) + " bytes  " + seconds + " s";
}

std::string WatchCounts(std::span<const ProgrammerResult> last) {
  std::size_t ok = 0, failed = 0, interrupted = 0, skipped = 0;
  for (const ProgrammerResult& r : last) {
    if (r.exitCode == kExitOk) {
      ++(r.skippedCurrent ? skipped : ok);
    } else if (r.exitCode == kExitInterrupted) {
      ++interrupted;
    } else {
      ++failed;
    }
  }
  return "watch ended: " + std::to_string(ok) + " OK, " + std::to_string(failed) + " failed, " +
         std::to_string(interrupted) + " interrupted, " + std::to_string(skipped) +
         " skipped (current)";
}

}  // namespace torv2::cli
