// udev-rule: the rule that lets a user without root open the programmers (Linux).

#include <algorithm>
#include <cstdio>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/udev_rule.h"
#include "cli/usb_access.h"

namespace torv2::cli {

// Prints the udev rule for the attached programmers, or with --install writes it and has udev
// read it. Finding a programmer means opening it: before the rule is in place only root can.
int RunUdevRule(const Options& options) {
  if (!options.ruleGroup.empty()) {
    if (const std::string error = CheckRuleGroup(options.ruleGroup); !error.empty()) {
      std::fprintf(stderr, "udev-rule --group: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  std::vector<link::UncheckedDevice> unchecked;
  const auto attached = ListAttachedProgrammers(&unchecked);
  if (!attached) return kExitNotReady;
  std::vector<UsbId> ids;
  for (const AttachedProgrammer& p : *attached) ids.push_back({p.vendorId, p.productId});
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  if (ids.empty()) {
    std::fprintf(stderr,
                 "no programmer found: plug it in and run this as root (sudo), which can open "
                 "it to recognise it by its interface GUID\n");
    SayUnchecked(unchecked, true);
    return kExitNotReady;
  }
  const std::string rule = UdevRule(ids, options.ruleGroup);
  const std::string file = options.rulesDir + "/" + kUdevRuleFile;
  if (!options.install) {
    std::fwrite(rule.data(), 1, rule.size(), stdout);
    std::fprintf(stderr,
                 "save it as %s (as root; the name must sort before 73-seat-late.rules), then run "
                 "`udevadm control --reload-rules && udevadm trigger --subsystem-match=usb` and "
                 "plug the programmer in again; or let this program do all of it: sudo "
                 "torv2-upgrader-cli udev-rule --install\n",
                 file.c_str());
    return kExitOk;
  }
  if (const std::string error = WriteUdevRule(options.rulesDir, rule); !error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return kExitStopped;
  }
  std::fprintf(stderr, "wrote %s\n", file.c_str());
  if (const std::string error = ReloadUdev(); !error.empty()) {
    std::fprintf(stderr,
                 "udev was not told (%s): the rule takes effect when udev reads its rules again; "
                 "run `udevadm control --reload-rules && udevadm trigger --subsystem-match=usb` "
                 "as root, or restart\n",
                 error.c_str());
    return kExitOk;
  }
  std::fprintf(stderr, "udev has read it: plug the programmer in again if it was plugged in\n");
  return kExitOk;
}

}  // namespace torv2::cli
