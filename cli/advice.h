#pragma once
// What a person can do about what went wrong. A failure prints its headline (the program's own
// message), the cause ("cause: ...") and one line on what to do ("fix: ..."); a problem the task
// goes on after (a status query the upgrade does without) prints its lines as warnings
// ("warning: ..."), the program's own message left as it stands.

#include <string>
#include <string_view>
#include <vector>

#include "link/image_transfer.h"
#include "link/usb_transport.h"
#include "upgrade/cause.h"

namespace torv2::cli {

// Where a command is when a cause comes, and how to run it again.
struct AdviceContext {
  bool upgrading = false;   // the command is `upgrade`, not `status`
  bool jobStarted = false;  // the upgrade job has begun
  std::string rerun;        // the command line that runs it again: "torv2-upgrader-cli upgrade"
  std::string carried;      // the carried firmware's version: "2.08"
};

struct Advice {
  bool showCause = true;  // false: the headline already says what the cause line would
  bool warning = false;   // the task goes on: the cause line and `line` begin with "warning: "
  std::string line;       // "fix: ..." or "warning: ..."; empty when there is nothing to add
};

// What to say about a cause that came with `headline` (a message), or after the report
// (`afterReport`, a completed upgrade that shows a failure: the command says what to do once).
Advice AdviseOn(const upgrade::Cause& cause, const AdviceContext& context,
                std::string_view headline, bool afterReport);

// What to do when no programmer is attached (or none could be opened: `unchecked`): "fix: ...",
// or empty when the permission fix says it (SayUnchecked).
std::string NoProgrammerFix(const std::vector<link::UncheckedDevice>& unchecked,
                            std::string_view rerun);

// The command line that runs `command` again on the same programmer: `device` is its name, or
// empty for the first one found; `extra` goes before the command ("--allow-older").
std::string RerunCommand(std::string_view command, std::string_view device, bool useVirtual,
                         std::string_view extra = {});

// The sockets a completed upgrade left not upgraded, as a cause line: "cause: socket 3 was not
// upgraded (it reports \"X\")"; empty when all eight were.
std::string SocketCause(const link::SubSocketStatus& sockets);

// What to do about a completed upgrade whose report shows a failure.
std::string ReportFailureFix(const AdviceContext& context);

// Whether the device's firmware is newer than the carried one, to the hundredth they are shown
// with.
bool IsNewer(double device, double carried);

// The three lines of a refusal to write older firmware over newer (no --allow-older).
std::string OlderFirmwareRefusal(std::string_view device, std::string_view carried,
                                 std::string_view rerunAllowing);

}  // namespace torv2::cli
