// list: the attached programmers, one line each; with --device, the one it names. With
// --virtual, the virtual programmer alone.

#include <cstdio>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/usb_access.h"

namespace torv2::cli {

int RunList(const Options& options) {
  if (RefuseDeviceBesideVirtual(options)) return kExitUsage;
  if (options.useVirtual) {
    std::printf("%s  the built-in virtual programmer (no USB)\n", kVirtualProgrammerName);
    return kExitOk;
  }
  std::vector<link::UncheckedDevice> unchecked;
  const auto attached = ListAttachedProgrammers(&unchecked);
  if (!attached) return kExitNotReady;
  if (attached->empty()) {
    std::fprintf(stderr, "USB UnConn: no programmer found\n");
    SayUnchecked(unchecked, true);
    return kExitNotReady;
  }
  SayUnchecked(unchecked, true);
  std::vector<std::size_t> shown(attached->size());
  for (std::size_t i = 0; i < shown.size(); ++i) shown[i] = i;
  if (!options.device.empty()) {
    const Selection named = SelectNamed(*attached, options.device);
    for (const std::string& refusal : named.refusals) std::fprintf(stderr, "%s\n", refusal.c_str());
    shown = named.chosen;
  }
  for (const std::size_t i : shown) {
    std::printf("%s\n", ListLine((*attached)[i], *attached).c_str());
  }
  return shown.empty() ? kExitNotReady : kExitOk;
}

}  // namespace torv2::cli
