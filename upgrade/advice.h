#pragma once
// What a person can do about what went wrong, in the same words for the command line and both
// windows. A failure comes with its headline (the program's own message), the cause ("cause:
// ...") and one line on what to do ("fix: ..."); a problem the task goes on after (a status query
// the upgrade does without) gets its lines as warnings ("warning: ..."), the program's own
// message left as it stands.

#include <string>
#include <string_view>
#include <vector>

#include "link/usb_transport.h"
#include "upgrade/cause.h"

namespace torv2::upgrade {

// Where a task is when a cause comes, and how to run it again.
struct AdviceContext {
  bool upgrading = false;   // the task is an upgrade, not a status check
  bool jobStarted = false;  // the upgrade job has begun
  // How to run it again: a command line ("torv2-upgrader-cli upgrade"), shown in backquotes, or,
  // when `rerunIsCommand` is false, words shown as they are ("the upgrade").
  std::string rerun;
  std::string carried;  // the carried firmware's version: "2.08"
  bool rerunIsCommand = true;
};

struct Advice {
  bool showCause = true;  // false: the headline already says what the cause line would
  bool warning = false;   // the task goes on: the cause line and `line` begin with "warning: "
  std::string line;       // "fix: ..." or "warning: ..."; empty when there is nothing to add
};

// What to say about a cause that came with `headline` (a message), or after the report
// (`afterReport`, a completed upgrade that shows a failure: the front end says what to do once).
Advice AdviseOn(const Cause& cause, const AdviceContext& context, std::string_view headline,
                bool afterReport);

// What to do when no programmer is attached (or none could be opened: `unchecked`): "fix: ...",
// or empty when the permission fix says it. `rerun` is a command line.
std::string NoProgrammerFix(const std::vector<link::UncheckedDevice>& unchecked,
                            std::string_view rerun);

// What to do about a completed upgrade whose report shows a failure.
std::string ReportFailureFix(const AdviceContext& context);

// The details under a window's message box for a failure: the cause in words and what to do, one
// line each ("Cause: main chunk 3: device gone (transfer: no device)", "What to do: plug the
// programmer in again and run the upgrade again"); a line is left out when there is nothing to
// add to the headline.
std::string MessageDetails(const Cause& cause, const AdviceContext& context,
                           std::string_view headline);

}  // namespace torv2::upgrade
