#include "upgrade/image_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "upgrade/firmware_image.h"

namespace torv2::upgrade {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::HasSubstr;

Bytes Filled(std::size_t size, std::uint8_t value = 0x5A) {
  return Bytes(size, value);
}

Bytes MainWithTitle(std::size_t size, std::string_view title, bool terminated = true) {
  Bytes image = Filled(size);
  std::copy(title.begin(), title.end(), image.begin() + kTitleOffset);
  if (terminated) image[kTitleOffset + title.size()] = 0;
  return image;
}

Bytes With(Bytes image, std::size_t at, std::string_view text) {
  std::copy(text.begin(), text.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
  return image;
}

std::string Joined(const std::vector<std::string>& problems) {
  std::string all;
  for (const auto& p : problems) all += p + "\n";
  return all;
}

struct RuleCase {
  const char* name;
  Bytes image;
  std::string expectedProblem;  // empty: the image can be carried
};

void ExpectProblems(const RuleCase& c, const std::vector<std::string>& problems) {
  if (c.expectedProblem.empty()) {
    EXPECT_EQ(Joined(problems), "") << c.name;
  } else {
    EXPECT_THAT(Joined(problems), HasSubstr(c.expectedProblem)) << c.name;
  }
}

TEST(ImageRules, MainImageNeedsATitleWithAVersion) {
  const RuleCase cases[] = {
      {"carried title", MainWithTitle(217'772, "MainExe - TORV2 Execute V02.08"), ""},
      {"largest", MainWithTitle(kMaxCarriedImageSize, "MainExe V02.08"), ""},
      {"shortest", MainWithTitle(kTitleOffset + 6, "02.08"), ""},
      {"high byte after the version", MainWithTitle(4096, "MainExe V02.0\xA1"), ""},
      {"empty", {}, "the image is empty"},
      {"ends before the title", Filled(kTitleOffset), "too short for the title at byte 336"},
      {"too large", MainWithTitle(kMaxCarriedImageSize + 1, "MainExe V02.08"),
       "524289 bytes, more than the 524288 bytes"},
      {"title without NUL", MainWithTitle(kTitleOffset + 14, "MainExe V02.08", false),
       "has no terminating NUL"},
      {"one digit before the point", MainWithTitle(4096, "MainExe V2.8"),
       "\"MainExe V2.8\" at byte 336 does not end in a version"},
      {"conversion stops early", MainWithTitle(4096, "MainExe V02.0x"), "\"02.0x\" are not one"},
      {"no title at all", MainWithTitle(4096, ""), "does not end in a version"},
      {"title reads Err", MainWithTitle(4096, "Err"), "does not end in a version"},
      {"unprintable title bytes are escaped", MainWithTitle(4096, "V\x01\xA1"), "\"V\\x01\\xA1\""},
  };
  for (const auto& c : cases) ExpectProblems(c, CheckMainImage(c.image));
}

TEST(ImageRules, SubImageBlocksMustFitAnEscapedPacket) {
  const Bytes plain = Filled(61'172);
  const RuleCase cases[] = {
      {"no '#'", plain, ""},
      {"runs of one to three '#'", With(plain, 100, "A#B##C###D"), ""},
      {"'#' first in a block", With(plain, 1000, "###"), ""},
      {"a run split by the block boundary", With(Filled(1002), 999, "##x"),
       "block 0 (bytes 0 to 999) ends with '#' at byte 999"},
      {"four '#' in a row", With(plain, 2500, "####"),
       "block 2 (bytes 2000 to 2999) holds four '#' in a row at byte 2500"},
      {"a block ends with '#'", With(plain, 3998, "x#"),
       "block 3 (bytes 3000 to 3999) ends with '#' at byte 3999"},
      {"the short last block ends with '#'", With(plain, 61'171, "#"),
       "block 61 (bytes 61000 to 61171) ends with '#' at byte 61171"},
      {"the whole image is one '#'", Bytes{'#'}, "block 0 (bytes 0 to 0) ends with '#'"},
      {"empty", {}, "the image is empty"},
      {"too large", Filled(kMaxCarriedImageSize + 1), "more than the 524288 bytes"},
  };
  for (const auto& c : cases) ExpectProblems(c, CheckSubImage(c.image));
}

TEST(ImageRules, ManyBadBlocksAreSummed) {
  Bytes image = Filled(20'000, '#');
  const auto problems = CheckSubImage(image);
  ASSERT_EQ(problems.size(), 6u);
  EXPECT_EQ(problems.back(), "15 more read-back blocks cannot be carried either");
}

}  // namespace
}  // namespace torv2::upgrade
