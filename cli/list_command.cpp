// list: the attached programmers, one line each; with --device, the one it names; with --virtual,
// the virtual programmer alone. With --json, one document: the programmers, how the command ended
// and, when none was found, why.

#include <cstdio>

#include "cli/commands.h"
#include "cli/console_host.h"
#include "cli/exit_codes.h"
#include "cli/interrupts.h"
#include "cli/programmer_result.h"
#include "cli/usb_access.h"

namespace torv2::cli {
namespace {

// The document of `list --json`.
int PrintListJson(nlohmann::json programmers, const std::optional<upgrade::Cause>& cause,
                  int exitCode) {
  const nlohmann::json document = {
      {"schema", kJsonSchema},
      {"command", "list"},
      {"outcome", OutcomeKey(exitCode)},
      {"exit_code", exitCode},
      {"programmers", std::move(programmers)},
      {"cause", cause ? CauseObject(*cause) : nlohmann::json(nullptr)}};
  WriteOut(JsonText(document));
  return exitCode;
}

int PrintListJson(std::span<const AttachedProgrammer> all, std::span<const std::size_t> shown,
                  const std::optional<upgrade::Cause>& cause, int exitCode) {
  nlohmann::json programmers = nlohmann::json::array();
  for (const std::size_t i : shown) programmers.push_back(ListedJson(all[i]));
  return PrintListJson(std::move(programmers), cause, exitCode);
}

}  // namespace

int RunList(const Options& options) {
  if (RefuseDeviceBesideVirtual(options)) return kExitUsage;
  if (options.useVirtual) {
    const AttachedProgrammer virtualOne{.detail = "the built-in virtual programmer (no USB)"};
    if (!options.json) {
      std::printf("%s  %s\n", kVirtualProgrammerName, virtualOne.detail.c_str());
      return kExitOk;
    }
    nlohmann::json listed = ListedJson(virtualOne);
    listed["programmer"] = kVirtualProgrammerName;
    return PrintListJson(nlohmann::json::array({std::move(listed)}), std::nullopt, kExitOk);
  }
  std::vector<link::UncheckedDevice> unchecked;
  const auto attached = ListAttachedProgrammers(&unchecked);
  if (!attached) {
    return options.json ? PrintListJson({}, {}, std::nullopt, kExitNotReady) : kExitNotReady;
  }
  if (attached->empty()) {
    std::fprintf(stderr, "USB UnConn: no programmer found\n");
    SayUnchecked(unchecked, true);
    if (options.json) return PrintListJson({}, {}, NoProgrammerCause(unchecked), kExitNotReady);
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
  const int code = shown.empty() ? kExitNotReady : kExitOk;
  if (options.json) return PrintListJson(*attached, shown, std::nullopt, code);
  for (const std::size_t i : shown) {
    std::printf("%s\n", ListLine((*attached)[i], *attached).c_str());
  }
  return code;
}

}  // namespace torv2::cli
