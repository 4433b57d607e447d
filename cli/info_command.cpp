// info: the program's own version, apart from the version of the firmware it carries.

#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "program_version.h"
#include "upgrade/version_text.h"

namespace torv2::cli {

int RunInfo() {
  std::printf("Program Version : %s\n", TORV2_PROGRAM_VERSION);
  const upgrade::CarriedImages images = LoadCarriedImages();
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
