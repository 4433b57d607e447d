// Build step: refuses a firmware image the upgrader could not carry, and hands the checked bytes
// on to the link step.
//
//   firmware_check main|sub <image> [<checked copy to write>]
//
// Exit status 0 when the image can be carried (the copy is then written), 1 when it cannot (the
// reasons go to standard error), 2 for a wrong call.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "upgrade/image_rules.h"

namespace {

bool ReadFile(const char* path, std::vector<std::uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteFile(const char* path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s main|sub <image> [<checked copy>]\n", argv[0]);
    return 2;
  }
  const std::string_view kind = argv[1];
  if (kind != "main" && kind != "sub") {
    std::fprintf(stderr, "%s: unknown image kind '%s'\n", argv[0], argv[1]);
    return 2;
  }
  std::vector<std::uint8_t> image;
  if (!ReadFile(argv[2], image)) {
    std::fprintf(stderr, "error: cannot read the %s firmware image %s\n", argv[1], argv[2]);
    return 1;
  }
  const std::vector<std::string> problems =
      kind == "main" ? torv2::upgrade::CheckMainImage(image) : torv2::upgrade::CheckSubImage(image);
  if (!problems.empty()) {
    std::fprintf(stderr, "error: the %s firmware image %s cannot be carried:\n", argv[1], argv[2]);
    for (const std::string& problem : problems) std::fprintf(stderr, "  - %s\n", problem.c_str());
    return 1;
  }
  if (argc == 4 && !WriteFile(argv[3], image)) {
    std::fprintf(stderr, "error: cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
