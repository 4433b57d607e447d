#include "upgrade/version_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

#include "upgrade/firmware_image.h"

namespace torv2::upgrade {
namespace {

constexpr std::size_t kVersionChars = 5;

// isspace() of the "C" locale.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string_view UpToNul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

bool IsFiniteConversion(const NumberConversion& c) {
  return c.consumed != 0 && !c.outOfRange && std::isfinite(c.value);
}

}  // namespace

NumberConversion ConvertLikeStrtod(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // from_chars takes a '-' of its own; strtod takes one sign only.
  if (i >= text.size() || text[i] == '+' || text[i] == '-') return {};

  const char* first = text.data() + i;
  const char* last = text.data() + text.size();
  double value = 0.0;
  std::from_chars_result r{};
  const bool hexPrefix =
      last - first >= 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X');
  const bool hexDigits =
      hexPrefix && last - first >= 3 &&
      (IsHexDigit(first[2]) || (first[2] == '.' && last - first >= 4 && IsHexDigit(first[3])));
  if (hexDigits) {
    r = std::from_chars(first + 2, last, value, std::chars_format::hex);
  } else if (hexPrefix) {
    // "0x" without hexadecimal digits: strtod takes the "0" and stops at the 'x'.
    r = {first + 1, std::errc{}};
    value = 0.0;
  } else {
    r = std::from_chars(first, last, value, std::chars_format::general);
  }
  if (r.ec == std::errc::invalid_argument) return {};

  NumberConversion out;
  out.consumed = static_cast<std::size_t>(r.ptr - text.data());
  out.outOfRange = r.ec == std::errc::result_out_of_range;
  out.value = out.outOfRange ? 0.0 : (negative ? -value : value);
  return out;
}

std::string_view ImageTitle(std::span<const std::uint8_t> image) {
  if (image.size() <= kTitleOffset) return {};
  const auto rest = image.subspan(kTitleOffset);
  const auto nul = std::find(rest.begin(), rest.end(), std::uint8_t{0});
  return {reinterpret_cast<const char*>(rest.data()), static_cast<std::size_t>(nul - rest.begin())};
}

VersionText VersionTextFromTitle(std::string_view title) {
  VersionText text{};
  const std::string_view tail =
      title.size() > kVersionChars ? title.substr(title.size() - kVersionChars) : title;
  const std::size_t n = std::min(tail.size(), text.size() - 1);
  std::copy_n(tail.begin(), n, text.begin());
  return text;
}

std::string_view VersionTextView(const VersionText& text) {
  return UpToNul(std::string_view(text.data(), text.size()));
}

std::optional<double> AcceptCarriedVersion(std::string_view versionText) {
  const std::string_view text = UpToNul(versionText);
  if (text.size() < 3 || text[2] != '.') return std::nullopt;
  const NumberConversion c = ConvertLikeStrtod(text);
  if (!IsFiniteConversion(c)) return std::nullopt;
  if (c.consumed == text.size()) return c.value;
  // A title in an 8-bit code page may end in a double-byte character; such a stop still counts.
  if (static_cast<unsigned char>(text[c.consumed]) >= 0x80) return c.value;
  return std::nullopt;
}

std::optional<double> ParseDeviceVersionReply(std::string_view reply) {
  const std::string_view text = UpToNul(reply);
  if (text.starts_with("Error")) return std::nullopt;
  if (text.size() < kVersionChars) return std::nullopt;
  const std::string_view last = text.substr(text.size() - kVersionChars);
  if (last[2] != '.') return std::nullopt;
  const NumberConversion c = ConvertLikeStrtod(last);
  if (!IsFiniteConversion(c) || c.consumed != last.size()) return std::nullopt;
  return c.value;
}

std::string FormatVersion(double version) {
  // Room for the longest fixed rendering of a double (309 digits), sign, point and decimals.
  std::array<char, 330> buffer{};
  const auto r = std::to_chars(buffer.data(), buffer.data() + buffer.size(), version,
                               std::chars_format::fixed, 2);
  if (r.ec != std::errc{}) return {};
  return std::string(buffer.data(), r.ptr);
}

std::string UpgradeVersionLine(double version) {
  return "Upgrade Version : " + FormatVersion(version);
}

std::string CurrentVersionLine(double version) {
  return "Current Version : " + FormatVersion(version);
}

}  // namespace torv2::upgrade
