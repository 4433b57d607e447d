#include "upgrade/version_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace torv2::upgrade {
namespace {

using namespace std::string_view_literals;

struct ReplyCase {
  std::string_view reply;
  std::optional<double> version;
};

TEST(DeviceVersionReply, TakesTheLastFiveCharacters) {
  const ReplyCase cases[] = {
      {"V02.08", 2.08},
      {"Torv2MainExe V02.08", 2.08},
      {"V100.50", 0.5},  // only the last five characters count
      {"02.08", 2.08},   // exactly five characters
      {"2.08", std::nullopt},
      {"", std::nullopt},
      {"V2.8", std::nullopt},
      {"TORV2 V2.8", std::nullopt},  // the point is not third from the end
      {"V02.080", std::nullopt},
      {"V02.08 ", std::nullopt},
      {"V02.0x", std::nullopt},  // the conversion stops at the x
      {"V02.0\xA1", std::nullopt},
      {"Error", std::nullopt},
      {"Error V02.08", std::nullopt},
      {"error V02.08", 2.08},  // the prefix is case-sensitive
      {"Err02.08", 2.08},
      {"V 2.08", 2.08},  // a leading blank inside the five characters is taken
      {"V+2.08", 2.08},
      {"V-2.08", -2.08},
      {"V+-.08", std::nullopt},
      {"V02.08\0trailing"sv, 2.08},  // the reply is text up to its NUL
      {"\0V02.08"sv, std::nullopt},
      {"0x.81", 0x0.81p0},  // strtod's hexadecimal form
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseDeviceVersionReply(c.reply), c.version) << "reply \"" << c.reply << '"';
  }
}

struct TitleCase {
  std::string_view title;
  std::string_view versionText;
  std::optional<double> version;
};

TEST(CarriedVersion, FromTheTitlesLastFiveCharacters) {
  const TitleCase cases[] = {
      {"MainExe - TORV2 Execute V02.08", "02.08", 2.08},
      {"MainExe - TORV2 Execute V100.50", "00.50", 0.5},
      {"MainExe - TORV2 Execute V2.8", " V2.8", std::nullopt},
      {"MainExe - TORV2 Execute V02.0x", "02.0x", std::nullopt},
      {"MainExe - TORV2 Execute V02.08 ", "2.08 ", std::nullopt},
      {"MainExe - TORV2 Execute V02.080", "2.080", std::nullopt},
      // A stop at a byte of 0x80 or above is accepted, any other stop is not.
      {"MainExe V02.0\xA1", "02.0\xA1", 2.0},
      {"MainExe V02.\xB0\xA1", "02.\xB0\xA1", 2.0},
      {"MainExe V02.0\x7F", "02.0\x7F", std::nullopt},
      {"MainExe V02.0\x01", "02.0\x01", std::nullopt},
      // Shorter titles are taken whole.
      {"12.5", "12.5", 12.5},
      {"2.8", "2.8", std::nullopt},
      {"Err", "Err", std::nullopt},
      {"", "", std::nullopt},
      {" 2.08", " 2.08", 2.08},
      {"+2.08", "+2.08", 2.08},
      // Nothing converts: a stop at a high byte does not make a version out of no number.
      {"V\xA1\xA1.00", "\xA1\xA1.00", std::nullopt},
      {"..", "..", std::nullopt},
  };
  for (const auto& c : cases) {
    const VersionText text = VersionTextFromTitle(c.title);
    EXPECT_EQ(VersionTextView(text), c.versionText) << "title \"" << c.title << '"';
    EXPECT_EQ(AcceptCarriedVersion(VersionTextView(text)), c.version)
        << "title \"" << c.title << '"';
  }
}

TEST(CarriedVersion, VersionTextIsTerminatedInsideItsTenBytes) {
  const VersionText text = VersionTextFromTitle("MainExe - TORV2 Execute V02.08");
  EXPECT_EQ(std::string(text.data(), 6), std::string("02.08\0", 6));
  for (std::size_t i = 5; i < text.size(); ++i) EXPECT_EQ(text[i], '\0');
}

struct ImageTitleCase {
  const char* name;
  std::vector<std::uint8_t> image;
  std::string_view title;
};

std::vector<std::uint8_t> ImageWith(std::size_t size, std::string_view atTitle) {
  std::vector<std::uint8_t> image(size, 0xEE);
  for (std::size_t i = 0; i < atTitle.size() && 336 + i < size; ++i) {
    image[336 + i] = static_cast<std::uint8_t>(atTitle[i]);
  }
  return image;
}

// Every image lives in a heap block of exactly its size, so a read past its end shows under ASan.
TEST(ImageTitle, NeverReadsPastTheImage) {
  const ImageTitleCase cases[] = {
      {"empty", {}, ""},
      {"ends before the title", ImageWith(300, ""), ""},
      {"ends at the title", ImageWith(336, ""), ""},
      {"one title byte, no NUL", ImageWith(337, "A"), "A"},
      {"title runs to the end", ImageWith(340, "V2.08"), "V2.0"},
      {"NUL right at the title", ImageWith(400, std::string_view("\0", 1)), ""},
      {"title and NUL", ImageWith(400, std::string_view("MainExe V02.08\0", 15)), "MainExe V02.08"},
  };
  for (const auto& c : cases) {
    const auto heap = std::make_unique<std::uint8_t[]>(c.image.size());
    std::copy(c.image.begin(), c.image.end(), heap.get());
    EXPECT_EQ(ImageTitle(std::span(heap.get(), c.image.size())), c.title) << c.name;
  }
}

// Table of texts on which strtod is the reference (the test runs under the "C" locale).
TEST(ConvertLikeStrtod, AgreesWithStrtodUnderTheCLocale) {
  const std::string_view texts[] = {
      "2.08",
      " 2.08",
      "\t\n\v\f\r 2.08",
      "+2.08",
      "-2.08",
      "+-2",
      "--2",
      "- 2",
      "02.0x",
      "1e5",
      "1e",
      "1e+",
      "1E-2x",
      ".5",
      ".",
      "",
      "   ",
      "+",
      "1.",
      "00.50",
      "12abc",
      "0x1p3",
      "0x.8",
      "0X1.8p1",
      "0x",
      "0xg",
      "0x.p1",
      "0x-1",
      "0x1p",
      "0xinf",
      "0x.",
      "inf",
      "-Infinity",
      "infinit",
      "nan",
      "NaN(123)",
      "nan(",
      "\xA1"
      "2.0",
      "2.0\xA1",
      "1e400",
      "-1e400",
      "1e-400",
      "0.000000000000000000000000000000000001",
  };
  ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
  for (const std::string_view text : texts) {
    const std::string z(text);
    char* end = nullptr;
    const double expected = std::strtod(z.c_str(), &end);
    const NumberConversion c = ConvertLikeStrtod(text);
    EXPECT_EQ(c.consumed, static_cast<std::size_t>(end - z.c_str())) << '"' << text << '"';
    if (c.outOfRange) {
      EXPECT_TRUE(std::isinf(expected) || std::fpclassify(expected) != FP_NORMAL) << text;
    } else if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(c.value)) << text;
    } else {
      EXPECT_EQ(c.value, expected) << '"' << text << '"';
    }
  }
}

TEST(VersionDisplay, TwoDecimalsLikePrintf) {
  for (const double v : {2.08, 0.5, 0.0, 100.5, 2.005, 2.015, 99.999, -1.25, 12345678.9}) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.02f", v);
    EXPECT_EQ(FormatVersion(v), expected) << v;
  }
  EXPECT_EQ(UpgradeVersionLine(2.08), "Upgrade Version : 2.08");
  EXPECT_EQ(CurrentVersionLine(0.0), "Current Version : 0.00");
  EXPECT_EQ(CurrentVersionLine(0.5), "Current Version : 0.50");
}

// A GUI toolkit sets LC_NUMERIC from the environment: under a locale with a decimal comma the
// versions must still read and show with a point. The test's CTest fixture builds de_DE.UTF-8
// into LOCPATH; without it the test is skipped.
class NumericLocale {
 public:
  explicit NumericLocale(const char* name) : saved_(std::setlocale(LC_NUMERIC, nullptr)) {
    active_ = std::setlocale(LC_NUMERIC, name) != nullptr;
  }
  ~NumericLocale() { std::setlocale(LC_NUMERIC, saved_.c_str()); }
  bool active() const { return active_; }

 private:
  std::string saved_;
  bool active_ = false;
};

TEST(VersionTextLocale, UnaffectedByADecimalCommaLocale) {
  const NumericLocale german("de_DE.UTF-8");
  if (!german.active()) GTEST_SKIP() << "locale de_DE.UTF-8 not available";
  char* end = nullptr;
  std::strtod("2.08", &end);
  ASSERT_EQ(*end, '.') << "the locale does not use a decimal comma; the test proves nothing";

  EXPECT_EQ(ParseDeviceVersionReply("V02.08"), 2.08);
  EXPECT_EQ(AcceptCarriedVersion("02.08"), 2.08);
  EXPECT_EQ(AcceptCarriedVersion("02,08"), std::nullopt);
  EXPECT_EQ(FormatVersion(2.08), "2.08");
  EXPECT_EQ(UpgradeVersionLine(0.5), "Upgrade Version : 0.50");
}

}  // namespace
}  // namespace torv2::upgrade
