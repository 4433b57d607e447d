#pragma once
// What `upgrade --watch` knows of the programmers it has seen: which wait for an attempt, which
// are under way, which are done, and what comes of an arrival, a removal or an attempt's end. No
// I/O and no threads: the watch feeds it the bus's changes and the attempts' ends, one at a time,
// and starts what it hands out.
//
// A programmer is known from its arrival to its removal, by where it is (Where()). While an attempt
// is under way on it, its removal may be a restart (after "ResetNow"): the next arrival with the
// same name belongs to the same attempt. Any other removal ends what is known of it, and plugged in
// again it is a new arrival. After a success it is left alone while it stays plugged in; after
// kMostFailures failures in a row, too, until it is plugged in again. A busy programmer (another
// program holds it) waits for Retry() and counts no failure.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/attached_programmers.h"

namespace torv2::cli {

// Where a programmer is on the bus now, as the watch tells arrivals apart: its bus address, which
// is new each time it comes (Linux); or its interface path, which stays the same when it comes back
// on the same port (Windows), so a removal and an arrival with the same path are both followed.
std::string Where(const AttachedProgrammer& programmer);

// How an attempt ended, as far as the watch goes on from it.
enum class AttemptEnd {
  Ok,           // upgraded, or on the carried version already (--skip-current)
  Failed,       // anything else that went wrong on it: tried again, up to kMostFailures in a row
  Final,        // nothing to try again (newer firmware than the carried one): left alone
  Busy,         // another program held it: tried again at Retry(), not a failure
  Gone,         // it dropped off the bus: known no more once its removal comes
  Interrupted,  // the watch is ending
};

class WatchBook {
 public:
  static constexpr int kMostFailures = 3;

  struct Attempt {
    std::uint64_t id = 0;  // the programmer's, from its arrival on
    AttachedProgrammer programmer;
  };

  // What an attempt's end leads to.
  enum class Then { Nothing, TryAgain, LeftAlone, WaitUntilFree };

  // `device`: only the programmer that goes by this name, port or address (empty: every one).
  explicit WatchBook(std::string device = {}) : device_(std::move(device)) {}

  // A programmer came: true when it is a new one to work on (its attempt waits in Next()).
  bool Arrived(const AttachedProgrammer& programmer);
  // The programmer at this place (Where()) went.
  void Left(const std::string& where);
  // The next programmer waiting for its attempt, which is then under way; nullopt when none waits.
  std::optional<Attempt> Next();
  // The attempt on programmer `id` ended so.
  Then Ended(std::uint64_t id, AttemptEnd end);
  // Busy programmers wait again for their attempt.
  void Retry();

  std::size_t running() const;
  bool anyBusy() const;

 private:
  enum class State { Waiting, Running, Done, LeftAlone, Busy, Gone };
  struct Known {
    std::uint64_t id;
    AttachedProgrammer programmer;
    std::string name;
    State state = State::Waiting;
    bool away = false;  // its attempt is under way and it is off the bus (restarting, or pulled)
    bool back = false;  // its attempt is under way and it came back after it was last away
    int failures = 0;   // in a row
  };
  std::vector<Known>::iterator Find(std::uint64_t id);

  std::string device_;
  std::uint64_t nextId_ = 1;
  std::vector<Known> known_;  // in the order they came
};

}  // namespace torv2::cli

#include "cli/programmer_result.h"

namespace torv2::cli {

// How an attempt's result counts for the watch: `allowOlder` as --allow-older, `interrupted`
// whether the watch was interrupted.
AttemptEnd EndOf(const ProgrammerResult& result, bool allowOlder, bool interrupted);

// The line stdout shows when an attempt ends, beginning with the programmer's name: what came of
// it (OK, current, or what failed and why), the version before and after, the bytes written and
// the seconds; no line break.
std::string WatchLine(const ProgrammerResult& result, AttemptEnd end);

// The last line of a watch: how many programmers ended OK, failed, interrupted or skipped
// (current), by each one's last result.
std::string WatchCounts(std::span<const ProgrammerResult> last);

}  // namespace torv2::cli
