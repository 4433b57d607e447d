#pragma once
// What the upgrade needs from its front end (the window, the command line, a test). Calls come
// from the thread that runs the task: the UI thread for a click or a version query, the job's
// worker thread for everything the job does; an implementation hands them to its own thread as
// it needs to.

#include <string_view>

#include "link/progress_sink.h"
#include "upgrade/cause.h"
#include "upgrade/upgrade_report.h"

namespace torv2::upgrade {

class UpgradeHost {
 public:
  virtual ~UpgradeHost() = default;

  virtual link::ProgressSink& Progress() = 0;
  // A modal message with a single OK button; returns once it is dismissed (or the program is
  // closing).
  virtual void ShowMessage(std::string_view text) = 0;
  // The result dialog; returns once the user has closed it (or the program is closing).
  virtual void ShowResult(const UpgradeReport& report) = 0;
  virtual void EnableUpdateButton(bool enabled) = 0;
  // The device's version as last read, "%.02f" ("0.00" until one was read).
  virtual void ShowCurrentVersion(std::string_view text) = 0;
  // A completed job ends the program.
  virtual void EndProgram() = 0;
  // Why the exchange just failed. Comes before the message that reports the failure, when there
  // is one (a version query that fails shows none; neither does a completed job whose report
  // shows a failure, where it comes before the result). Shows no box: the window logs it.
  virtual void LogCause(const Cause&) {}
  // What the task does next or has just learnt, in a few words ("writing the main image (N
  // bytes)", "version: 2.07"), for a front end that follows each step (the command line's -v).
  virtual void Step(std::string_view) {}
};

}  // namespace torv2::upgrade
