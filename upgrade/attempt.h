#pragma once
// What the upgrader tells an observer at the end of each status check and each upgrade job, and
// at the start of each job before anything is written: a plain record a front end may keep (the
// history does). The observer is called on the thread that runs the task; at the end once the
// task has let go of the link, before the result dialog shows.

#include <chrono>
#include <optional>

#include "upgrade/cause.h"

namespace torv2::upgrade {

struct JobResult;

enum class AttemptKind { StatusCheck, Upgrade };

struct Attempt {
  AttemptKind kind = AttemptKind::StatusCheck;
  std::chrono::system_clock::time_point started;
  std::chrono::milliseconds duration{0};
  bool linkOpened = false;              // false: the programmer was not found or not ready
  std::optional<double> versionBefore;  // as the device reported it at the start
  std::optional<double> versionAfter;   // read again at the end of a completed job
  bool cancelled = false;               // the program was closing (or stopped) meanwhile
  const JobResult* job = nullptr;       // an upgrade's result; null for a status check
  // Why a status check failed, the first failure it met; an upgrade's is in job->cause.
  std::optional<Cause> cause;
};

class AttemptObserver {
 public:
  virtual ~AttemptObserver() = default;
  // An upgrade job is about to write the first image: `attempt` holds what is known so far (the
  // kind, the start, the version before). A program that is killed or loses its power from here
  // on never tells the end. Must not throw, and should be quick: the job is waiting.
  virtual void AttemptBegan(const Attempt& /*attempt*/) {}
  // Must not throw, and should be quick: the job is waiting.
  virtual void AttemptEnded(const Attempt& attempt) = 0;
};

}  // namespace torv2::upgrade
