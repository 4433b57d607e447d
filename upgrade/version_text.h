#pragma once
// Version texts: the version the main image carries in its title, the version the device reports,
// and how both are shown. Conversions never depend on the process locale: a GUI toolkit may have
// set LC_NUMERIC to a locale whose decimal separator is a comma.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace torv2::upgrade {

// The carried version text: the last five characters of the title and a NUL, in a 10-byte buffer.
inline constexpr std::size_t kVersionTextSize = 10;
using VersionText = std::array<char, kVersionTextSize>;

// The title text of a main image: the bytes from kTitleOffset up to the first NUL. Never reads
// past the image: an image too short for the offset has an empty title, and a title without a
// NUL ends with the image.
std::string_view ImageTitle(std::span<const std::uint8_t> image);

// The last five characters of `title` (the whole title when shorter), NUL-terminated.
VersionText VersionTextFromTitle(std::string_view title);
// The text held in a VersionText, up to its NUL (or the end of the buffer).
std::string_view VersionTextView(const VersionText& text);

// The carried version, or none when the text is not accepted: the character at index 2 must be
// '.', and the strtod-style conversion must run up to the end of the text, or stop at a byte from
// 0x80 to 0xFF. A text from which nothing converts at all is not a version.
std::optional<double> AcceptCarriedVersion(std::string_view versionText);

// The version in a reply to "VersionRead:", or none: a reply beginning with "Error", a reply
// shorter than five characters, or one whose last five characters do not convert as a whole with
// the third character from the end being '.'. The reply counts as text up to its first NUL.
std::optional<double> ParseDeviceVersionReply(std::string_view reply);

// How strtod would convert the start of `text` under the "C" locale: leading blanks, a sign, a
// decimal or hexadecimal number, "inf"/"infinity"/"nan"/"nan(...)".
struct NumberConversion {
  double value = 0.0;
  std::size_t consumed = 0;  // characters used; 0 when nothing converts
  bool outOfRange = false;   // the number does not fit a double
};
NumberConversion ConvertLikeStrtod(std::string_view text);

// A version as shown: two decimals and a point, like "%.02f" under the "C" locale ("2.08").
std::string FormatVersion(double version);
// "Upgrade Version : 2.08" and "Current Version : 2.08".
std::string UpgradeVersionLine(double version);
std::string CurrentVersionLine(double version);

}  // namespace torv2::upgrade
