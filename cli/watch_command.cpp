// upgrade --watch: waits for programmers and upgrades each one as it arrives, several at a time,
// each on its own link and job as --all runs them, until Ctrl-C or SIGTERM. One line on stdout
// per attempt as it ends; a summary at the end.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/interrupts.h"
#include "cli/live_lines.h"
#include "cli/programmer_result.h"
#include "cli/usb_access.h"
#include "cli/watch_book.h"
#include "upgrade/version_text.h"

namespace torv2::cli {
namespace {

// How long a programmer another program holds waits before it is tried again.
constexpr auto kBusyRetry = std::chrono::milliseconds(500);

// What the watch's own thread is told, in order.
struct Event {
  enum class Kind { Arrived, Left, Ended, Interrupted } kind;
  AttachedProgrammer programmer;  // Arrived, Left
  std::uint64_t id = 0;           // Ended
  ProgrammerResult result;        // Ended
};

class EventQueue {
 public:
  void Push(Event event) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
    }
    changed_.notify_one();
  }
  // The next event; nullopt when `wait` passed without one.
  std::optional<Event> Take(std::optional<std::chrono::milliseconds> wait) {
    std::unique_lock lock(mutex_);
    const auto some = [this] { return !events_.empty(); };
    if (wait) {
      if (!changed_.wait_for(lock, *wait, some)) return std::nullopt;
    } else {
      changed_.wait(lock, some);
    }
    Event event = std::move(events_.front());
    events_.pop_front();
    return event;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Event> events_;
};

std::string OneLineJson(const nlohmann::json& object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

int RunWatch(const Options& options, Interrupts& interrupts) {
  const upgrade::CarriedImages images = LoadCarriedImages();
  if (!images.main.loaded()) {
    if (images.problem.empty()) {
      std::fprintf(stderr, "%s\n", std::string(upgrade::kUnknownMainExe).c_str());
    }
    return kExitStopped;
  }
  if (!images.version) {
    std::fprintf(stderr, "Upgrade Version : Unknown\n");
    return kExitStopped;
  }
  EventQueue queue;
  const auto interrupted = interrupts.OnFirst(
      [&queue] { queue.Push({.kind = Event::Kind::Interrupted, .programmer = {}}); });
  const std::unique_ptr<ProgrammerWatch> watch =
      WatchProgrammers([&queue](bool arrived, const AttachedProgrammer& programmer) {
        queue.Push(
            {.kind = arrived ? Event::Kind::Arrived : Event::Kind::Left, .programmer = programmer});
      });
  if (!watch) return kExitNotReady;
  std::fprintf(stderr, "waiting for programmers%s (Ctrl-C ends the watch)\n",
               options.device.empty() ? "" : (" (only " + options.device + ")").c_str());

  // The programmers at work, a line each on a terminal; the lines on stdout go above them.
  LiveLines live;
  // A line on stdout, flushed at once: a pipe or a log file sees it as it happens.
  const auto printLine = [&live](const std::string& text) { live.PrintOut(text + "\n"); };

  WatchBook book(options.device);
  std::map<std::uint64_t, std::jthread> attempts;
  std::map<std::string, ProgrammerResult> last;  // each programmer's last result, by name
  const std::size_t jobs = static_cast<std::size_t>(std::max(1, options.jobs));
  bool stopping = false;
  const auto start = [&](const WatchBook::Attempt& attempt) {
    attempts.emplace(attempt.id, std::jthread([&, attempt] {
                       Event ended{.kind = Event::Kind::Ended, .programmer = {}, .id = attempt.id};
                       ended.result =
                           UpgradeOneOfMany(options, images, attempt.programmer, interrupts, live);
                       queue.Push(std::move(ended));
                     }));
  };
  for (;;) {
    if (interrupts.happened()) stopping = true;
    while (!stopping && book.running() < jobs) {
      const auto next = book.Next();
      if (!next) break;
      start(*next);
    }
    if (stopping && book.running() == 0) break;
    std::optional<std::chrono::milliseconds> wait;
    if (book.anyBusy()) wait = kBusyRetry;
    std::optional<Event> event = queue.Take(wait);
    if (!event) {
      book.Retry();
      continue;
    }
    switch (event->kind) {
      case Event::Kind::Arrived:
        book.Arrived(event->programmer);
        break;
      case Event::Kind::Left:
        book.Left(Where(event->programmer));
        break;
      case Event::Kind::Interrupted:
        stopping = true;
        break;
      case Event::Kind::Ended: {
        attempts.erase(event->id);  // its thread has ended but for handing the event on
        ProgrammerResult& result = event->result;
        const AttemptEnd end = EndOf(result, options.allowOlder, interrupts.happened());
        const WatchBook::Then then = book.Ended(event->id, end);
        if (options.json) {
          printLine(OneLineJson(ProgrammerJson(result)));
        } else {
          printLine(WatchLine(result, end));
        }
        if (then == WatchBook::Then::LeftAlone) {
          const std::string why = "left alone after " + std::to_string(WatchBook::kMostFailures) +
                                  " failures in a row, until it is plugged in again";
          if (options.json) {
            printLine(OneLineJson({{"programmer", result.name}, {"left_alone", why}}));
          } else {
            printLine(result.name + "  " + why);
          }
        }
        // A busy programmer was not worked on: what it ended with before still counts.
        if (end != AttemptEnd::Busy || !last.contains(result.name)) {
          last[result.name] = std::move(result);
        }
        break;
      }
    }
  }
  attempts.clear();

  std::vector<ProgrammerResult> results;
  int worst = kExitOk;
  for (auto& [name, result] : last) {
    worst = WorseExit(worst, result.exitCode);
    results.push_back(std::move(result));
  }
  if (options.json) {
    std::size_t ok = 0, failed = 0, stopped = 0, skipped = 0;
    for (const ProgrammerResult& r : results) {
      if (r.exitCode == kExitOk) {
        ++(r.skippedCurrent ? skipped : ok);
      } else {
        ++(r.exitCode == kExitInterrupted ? stopped : failed);
      }
    }
    printLine(OneLineJson({{"summary",
                            {{"ok", ok},
                             {"failed", failed},
                             {"interrupted", stopped},
                             {"skipped", skipped},
                             {"exit_code", worst}}}}));
  } else {
    WriteOut((results.empty() ? std::string() : SummaryText(results)) + WatchCounts(results) +
             "\n");
  }
  return worst;
}

}  // namespace torv2::cli
