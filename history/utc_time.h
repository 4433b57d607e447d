#pragma once
// Times as UTC text, the same on Linux and Windows.

#include <chrono>
#include <ctime>
#include <string>

namespace torv2::history {

// `when`, to the second, as strftime's `format` renders it in UTC.
inline std::string FormatUtc(std::chrono::system_clock::time_point when, const char* format) {
  const std::time_t t =
      std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(when));
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &t);
#else
  gmtime_r(&t, &utc);
#endif
  char text[64];
  const std::size_t n = std::strftime(text, sizeof text, format, &utc);
  return std::string(text, n);
}

}  // namespace torv2::history
