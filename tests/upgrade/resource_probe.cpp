// Looks up a carried image the way the upgrader does at start-up and prints what happened.
// Built several ways (with the firmware images, without, with crafted resource sections) so the
// tests can run each lookup step against a program's own running image.
//
//   resource_probe self|<module path> main|sub
//
// Prints "message: <caption> <text>" per message shown, then "loaded <size> bytes" and, for the
// main image, "title: <title>"; exits 0 when the image loaded.

#include <cstdio>
#include <string>
#include <string_view>

#include "upgrade/embedded_images.h"
#include "upgrade/module_resources.h"

int main(int argc, char** argv) {
  using namespace torv2::upgrade;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s self|<module path> main|sub\n", argv[0]);
    return 2;
  }
  const std::string_view which = argv[1];
  const std::string modulePath = which == "self" ? ExecutablePath() : std::string(which);
  const MessageSink show = [](std::string_view text, std::string_view caption) {
    std::printf("message: %.*s %.*s\n", static_cast<int>(caption.size()), caption.data(),
                static_cast<int>(text.size()), text.data());
  };

  FirmwareImage image;
  if (std::string_view(argv[2]) == "main") {
    VersionText versionText{};
    const std::string title = LoadMainImage(modulePath, image, versionText, show);
    if (image.loaded()) std::printf("title: %s\n", title.c_str());
  } else {
    LoadSubImage(modulePath, image, show);
  }
  if (!image.loaded()) return 1;
  std::printf("loaded %u bytes\n", static_cast<unsigned>(image.size));
  return 0;
}
