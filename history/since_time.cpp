#include "history/since_time.h"

#include <cstdint>
#include <cstdio>

namespace torv2::history {
namespace {

// Reads exactly `n` digits at `at`, moving past them.
std::optional<int> Digits(std::string_view text, std::size_t& at, std::size_t n) {
  if (text.size() - at < n) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  at += n;
  return value;
}

bool Take(std::string_view text, std::size_t& at, char c) {
  if (at < text.size() && text[at] == c) {
    ++at;
    return true;
  }
  return false;
}

bool IsLeap(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, and back (H. Hinnant's
// days_from_civil and civil_from_days).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

}  // namespace

std::optional<std::string> SinceInUtc(std::string_view text, std::string& why) {
  why = "it is not a date or time";
  std::size_t at = 0;
  const auto year = Digits(text, at, 4);
  if (!year || !Take(text, at, '-')) return std::nullopt;
  const auto month = Digits(text, at, 2);
  if (!month || !Take(text, at, '-')) return std::nullopt;
  const auto day = Digits(text, at, 2);
  if (!day) return std::nullopt;
  if (*year < 1 || *month < 1 || *month > 12 || *day < 1 || *day > DaysInMonth(*year, *month)) {
    why = "there is no such day";
    return std::nullopt;
  }
  std::string utc = std::string(text.substr(0, 10));
  if (at == text.size() || (text.substr(at) == "Z")) return utc;

  if (!Take(text, at, 'T') && !Take(text, at, ' ')) return std::nullopt;
  // The time: hours, then minutes, seconds and a fraction, each optional in turn.
  const auto hour = Digits(text, at, 2);
  if (!hour) return std::nullopt;
  std::optional<int> minute;
  std::optional<int> second;
  std::string fraction;
  if (Take(text, at, ':')) {
    minute = Digits(text, at, 2);
    if (!minute) return std::nullopt;
    if (Take(text, at, ':')) {
      second = Digits(text, at, 2);
      if (!second) return std::nullopt;
      if (Take(text, at, '.')) {
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && fraction.size() < 3) {
          fraction += text[at++];
        }
        if (fraction.empty()) return std::nullopt;
        fraction.insert(fraction.begin(), '.');
      }
    }
  }
  if (*hour > 23 || minute.value_or(0) > 59 || second.value_or(0) > 59) {
    why = "there is no such time of day";
    return std::nullopt;
  }

  // The zone: none or "Z" (UTC), else an offset east (+) or west (-) of UTC.
  int offsetMinutes = 0;
  bool offset = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const int sign = text[at++] == '+' ? 1 : -1;
    const auto hours = Digits(text, at, 2);
    if (!hours) return std::nullopt;
    std::optional<int> minutes = 0;
    if (Take(text, at, ':')) {
      minutes = Digits(text, at, 2);
    } else if (at < text.size()) {
      minutes = Digits(text, at, 2);
    }
    if (!minutes) return std::nullopt;
    if (*hours > 14 || *minutes > 59 || (*hours == 14 && *minutes > 0)) {
      why = "there is no such offset from UTC";
      return std::nullopt;
    }
    offset = true;
    offsetMinutes = sign * (*hours * 60 + *minutes);
  } else {
    Take(text, at, 'Z');
  }
  if (at != text.size()) return std::nullopt;

  std::int64_t y = *year;
  int m = *month;
  int d = *day;
  int h = *hour;
  int min = minute.value_or(0);
  if (offset) {
    const std::int64_t minutes =
        (DaysFromCivil(*year, *month, *day) * 24 + *hour) * 60 + min - offsetMinutes;
    const std::int64_t days = (minutes >= 0 ? minutes : minutes - 1439) / 1440;
    const std::int64_t inDay = minutes - days * 1440;
    CivilFromDays(days, y, m, d);
    h = static_cast<int>(inDay / 60);
    min = static_cast<int>(inDay % 60);
    if (y < 1 || y > 9999) {
      why = "it is out of range";
      return std::nullopt;
    }
  }
  char text_[32];
  std::snprintf(text_, sizeof text_, "%04d-%02d-%02dT%02d", static_cast<int>(y), m, d, h);
  utc = text_;
  if (minute || offset) {
    std::snprintf(text_, sizeof text_, ":%02d", min);
    utc += text_;
  }
  if (second) {
    std::snprintf(text_, sizeof text_, ":%02d", *second);
    utc += text_ + fraction;
  }
  return utc;
}

}  // namespace torv2::history
