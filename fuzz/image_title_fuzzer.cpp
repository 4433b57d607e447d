// The main image's title and the rules an image must meet to be carried, on arbitrary images,
// also ones shorter than the title's offset or without a NUL after it.
//
// Holds: the title lies inside the image, from the title offset up to the first NUL or the end;
// an image the main image rules accept has a title whose last five characters are an accepted
// version; an image the sub image rules accept can be read back block by block in escaped
// packets (no block holds "####" or ends with '#').
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz/support/fuzz_input.h"
#include "link/image_transfer.h"
#include "upgrade/firmware_image.h"
#include "upgrade/image_rules.h"
#include "upgrade/version_text.h"

using namespace torv2;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the image's size, so that ASan sees a read past its end.
  const std::vector<std::uint8_t> copy(data, data + size);
  const std::span<const std::uint8_t> image(copy);

  const std::string_view title = upgrade::ImageTitle(image);
  if (size <= upgrade::kTitleOffset) {
    FUZZ_CHECK(title.empty());
  } else {
    const auto* first = reinterpret_cast<const char*>(image.data() + upgrade::kTitleOffset);
    FUZZ_CHECK(title.data() == first);
    FUZZ_CHECK(upgrade::kTitleOffset + title.size() <= size);
    FUZZ_CHECK(title.find('\0') == std::string_view::npos);
    FUZZ_CHECK(upgrade::kTitleOffset + title.size() == size ||
               image[upgrade::kTitleOffset + title.size()] == 0);
  }

  const upgrade::VersionText versionText = upgrade::VersionTextFromTitle(title);
  const auto version = upgrade::AcceptCarriedVersion(upgrade::VersionTextView(versionText));

  if (upgrade::CheckMainImage(image).empty()) {
    FUZZ_CHECK(size >= 1 && size <= upgrade::kMaxCarriedImageSize);
    FUZZ_CHECK(version.has_value());
    FUZZ_CHECK(upgrade::kTitleOffset + title.size() < size);  // the title has its NUL
  }
  if (upgrade::CheckSubImage(image).empty()) {
    FUZZ_CHECK(size >= 1 && size <= upgrade::kMaxCarriedImageSize);
    for (std::size_t at = 0; at < size; at += link::kSubBlock) {
      const std::size_t n = std::min<std::size_t>(link::kSubBlock, size - at);
      const std::string_view block(reinterpret_cast<const char*>(image.data() + at), n);
      FUZZ_CHECK(block.find("####") == std::string_view::npos && block.back() != '#');
    }
  }
  return 0;
}
