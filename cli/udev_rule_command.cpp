// udev-rule: the rule that lets a user without root open the programmers (Linux).

#include <algorithm>
#include <cstdio>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/udev_rule.h"
#include "cli/usb_access.h"

namespace torv2::cli {
namespace {

// `text` as a shell reads it back as one word.
std::string ShellWord(const std::string& text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_-./:+,=@").find(c) != std::string_view::npos;
  });
  if (plain) return text;
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The command that installs what was just printed: the same directory, group and ids.
std::string InstallCommand(const Options& options) {
  std::string command = "sudo torv2-upgrader-cli udev-rule --install";
  if (options.rulesDir != kUdevRulesDir) command += " --rules-dir " + ShellWord(options.rulesDir);
  if (!options.ruleGroup.empty()) command += " --group " + ShellWord(options.ruleGroup);
  for (const std::string& id : options.ruleId) command += " --id " + ShellWord(id);
  return command;
}

}  // namespace

// Prints the udev rule for the attached programmers, or for the ids given with --id, or with
// --install writes it and has udev read it. Finding a programmer means opening it: before the
// rule is in place only root can, which --id avoids.
int RunUdevRule(const Options& options) {
  if (!options.ruleGroup.empty()) {
    if (const std::string error = CheckRuleGroup(options.ruleGroup); !error.empty()) {
      std::fprintf(stderr, "udev-rule --group: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  std::vector<UsbId> ids;
  for (const std::string& text : options.ruleId) {
    UsbId id;
    if (const std::string error = ParseUsbId(text, id); !error.empty()) {
      std::fprintf(stderr, "udev-rule --id: %s\n", error.c_str());
      return kExitUsage;
    }
    ids.push_back(id);
  }
  const RuleIds from = ids.empty() ? RuleIds::Found : RuleIds::Given;
  if (from == RuleIds::Found) {
    std::vector<link::UncheckedDevice> unchecked;
    const auto attached = ListAttachedProgrammers(&unchecked);
    if (!attached) return kExitNotReady;
    for (const AttachedProgrammer& p : *attached) ids.push_back({p.vendorId, p.productId});
    if (ids.empty()) {
      std::fprintf(stderr,
                   "no programmer found: plug it in and run this as root (sudo), which can open "
                   "it to recognise it by its interface GUID\n"
                   "or write the rule without the programmer: torv2-upgrader-cli udev-rule --id "
                   "VID:PID, with the vendor and product id that `lsusb` shows for the "
                   "programmer (--id again for more than one)\n");
      SayUnchecked(unchecked, true);
      return kExitNotReady;
    }
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  const std::string rule = UdevRule(ids, options.ruleGroup, from);
  const std::string file = options.rulesDir + "/" + kUdevRuleFile;
  if (!options.install) {
    std::fwrite(rule.data(), 1, rule.size(), stdout);
    std::fprintf(stderr,
                 "save it as %s (as root; the name must sort before 73-seat-late.rules), then run "
                 "`udevadm control --reload-rules && udevadm trigger --subsystem-match=usb` and "
                 "plug the programmer in again; or let this program do all of it: %s\n",
                 file.c_str(), InstallCommand(options).c_str());
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
