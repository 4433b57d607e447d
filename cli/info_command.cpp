// info: the program's own version, apart from the version of the firmware it carries. With
// --json, one document with the same.

#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/interrupts.h"
#include "cli/programmer_result.h"
#include "program_version.h"
#include "upgrade/version_text.h"

namespace torv2::cli {
namespace {

int PrintInfoJson(const upgrade::CarriedImages& images, int exitCode) {
  nlohmann::json document = {
      {"schema", kJsonSchema}, {"command", "info"}, {"program_version", TORV2_PROGRAM_VERSION}};
  document["main_image"] =
      images.main.loaded() ? nlohmann::json{{"title", images.title}, {"bytes", images.main.size}}
                           : nlohmann::json(nullptr);
  document["sub_image"] =
      images.sub.loaded() ? nlohmann::json{{"bytes", images.sub.size}} : nlohmann::json(nullptr);
  document["version_carried"] = images.version && images.main.loaded()
                                    ? nlohmann::json(upgrade::FormatVersion(*images.version))
                                    : nlohmann::json(nullptr);
  document["outcome"] = OutcomeKey(exitCode);
  document["exit_code"] = exitCode;
  WriteOut(JsonText(document));
  return exitCode;
}

}  // namespace

int RunInfo(const Options& options) {
  const upgrade::CarriedImages images = LoadCarriedImages();
  const int code = images.main.loaded() && images.version ? kExitOk : kExitStopped;
  if (options.json) return PrintInfoJson(images, code);
  std::printf("Program Version : %s\n", TORV2_PROGRAM_VERSION);
  if (!images.main.loaded()) {
    std::printf("Main image : %s\n", std::string(upgrade::kUnknownMainExe).c_str());
    return kExitStopped;
  }
  std::printf("Main image : %s (%u bytes)\n", images.title.c_str(), images.main.size);
  if (images.sub.loaded()) std::printf("Sub image  : %u bytes\n", images.sub.size);
  if (!images.version) {
    std::printf("Upgrade Version : Unknown\n");
    return kExitStopped;
  }
  std::printf("%s\n", upgrade::UpgradeVersionLine(*images.version).c_str());
  return kExitOk;
}

}  // namespace torv2::cli
