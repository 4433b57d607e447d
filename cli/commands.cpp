#include "cli/commands.h"

#include <cstdio>

#ifndef _WIN32
#include "cli/udev_rule.h"
#endif
#include "upgrade/module_resources.h"

namespace torv2::cli {
namespace {

void PrintMessage(std::string_view text, std::string_view caption) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
               static_cast<int>(text.size()), text.data());
}

}  // namespace

upgrade::CarriedImages LoadCarriedImages() {
  upgrade::CarriedImages images =
      upgrade::LoadCarriedImages(upgrade::RunningExecutable(), PrintMessage);
  if (!images.problem.empty()) std::fprintf(stderr, "%s\n", images.problem.c_str());
  return images;
}

bool RefuseDeviceBesideVirtual(const Options& options) {
  if (!options.useVirtual || options.device.empty() || options.device == kVirtualProgrammerName) {
    return false;
  }
  std::fprintf(stderr,
               "--device %s: with --virtual the only programmer is the built-in virtual one, "
               "\"%s\"\n",
               options.device.c_str(), kVirtualProgrammerName);
  return true;
}

void SayUnchecked(const std::vector<link::UncheckedDevice>& unchecked, bool named) {
#ifndef _WIN32
  const std::string text =
      (named ? UncheckedLine(unchecked) : std::string()) + PermissionFix(unchecked);
  std::fwrite(text.data(), 1, text.size(), stderr);
#else
  (void)unchecked;
  (void)named;
#endif
}

}  // namespace torv2::cli
