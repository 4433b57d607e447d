#pragma once
// The time `history --since` takes: a UTC date or time, or a local time with its offset from UTC,
// checked (no 2026-02-30, no 25:00) and turned into the UTC text the rows are compared with.

#include <optional>
#include <string>
#include <string_view>

namespace torv2::history {

// "2026-12-10", "2026-12-10T16", "2026-12-10T16:30", "2026-12-10T16:30:05", "...:05.250", each
// with an optional "Z"; a time may end in an offset instead ("+01:00", "-0530", "+01"). 'T' may
// be a space. Gives the UTC time to the same precision (to the minute at least when an offset was
// given), without the "Z": "2026-12-10T15:30" for "2026-12-10T16:30+01:00". Nullopt with `why`
// set (a few words: "there is no such day") when it is not a time.
std::optional<std::string> SinceInUtc(std::string_view text, std::string& why);

}  // namespace torv2::history
