// The version texts: the device's reply to "VersionRead:", the carried version text taken from a
// title, and the strtod-like conversion under both.
//
// Holds: ConvertLikeStrtod agrees with the C library's strtod in the "C" locale (the process
// never changes its locale) for every text of at most five printable characters, which covers
// every text the version rules convert; a version is only ever found where the rules allow it
// and is finite; the version text is the title's last five characters, NUL-terminated.
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/support/fuzz_input.h"
#include "upgrade/version_text.h"

using namespace torv2;
using upgrade::ConvertLikeStrtod;

namespace {

bool Printable(std::string_view text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

bool SameDouble(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

void CheckAgainstStrtod(std::string_view text) {
  const std::string copy(text);  // strtod needs the NUL
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(copy.c_str(), &end);
  const bool range = errno == ERANGE;
  const auto consumed = static_cast<std::size_t>(end - copy.c_str());

  const upgrade::NumberConversion c = ConvertLikeStrtod(text);
  if (c.consumed != consumed || c.outOfRange != range || (!range && !SameDouble(c.value, value))) {
    std::fprintf(stderr,
                 "\"%s\": strtod %.17g consumed %zu range %d; ConvertLikeStrtod %.17g consumed "
                 "%zu range %d\n",
                 copy.c_str(), value, consumed, range, c.value, c.consumed, c.outOfRange);
    FUZZ_CHECK(!"ConvertLikeStrtod agrees with strtod");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string_view upToNul = text.substr(0, text.find('\0'));

  const upgrade::NumberConversion c = ConvertLikeStrtod(text);
  FUZZ_CHECK(c.consumed <= text.size());
  if (text.size() <= 5 && Printable(text)) {
    CheckAgainstStrtod(text);
  }

  // The device's version reply: the last five characters (before any NUL), with the point third
  // from the end, converted as a whole.
  if (const auto v = upgrade::ParseDeviceVersionReply(text)) {
    FUZZ_CHECK(std::isfinite(*v));
    FUZZ_CHECK(upToNul.size() >= 5 && !upToNul.starts_with("Error"));
    const std::string_view last = upToNul.substr(upToNul.size() - 5);
    FUZZ_CHECK(last[2] == '.');
    const upgrade::NumberConversion whole = ConvertLikeStrtod(last);
    FUZZ_CHECK(whole.consumed == 5 && SameDouble(whole.value, *v));
    FUZZ_CHECK(!upgrade::FormatVersion(*v).empty());
  }

  // The carried version: title -> version text -> accepted version.
  const upgrade::VersionText versionText = upgrade::VersionTextFromTitle(text);
  FUZZ_CHECK(versionText.back() == '\0');
  const std::string_view shown = upgrade::VersionTextView(versionText);
  const std::string_view tail = text.size() > 5 ? text.substr(text.size() - 5) : text;
  FUZZ_CHECK(shown == tail.substr(0, tail.find('\0')));

  for (const std::string_view candidate : {text, shown}) {
    if (const auto v = upgrade::AcceptCarriedVersion(candidate)) {
      const std::string_view t = candidate.substr(0, candidate.find('\0'));
      FUZZ_CHECK(std::isfinite(*v) && t.size() >= 3 && t[2] == '.');
      const upgrade::NumberConversion whole = ConvertLikeStrtod(t);
      FUZZ_CHECK(whole.consumed == t.size() ||
                 static_cast<unsigned char>(t[whole.consumed]) >= 0x80);
      FUZZ_CHECK(!upgrade::FormatVersion(*v).empty());
    }
  }
  return 0;
}
