#pragma once
// What the progress bar draws, apart from drawing it: the width of the filled part and the text.

#include <string>
#include <string_view>

namespace torv2::window {

// Width in pixels of the filled part of a bar `width` pixels wide: width × f truncated, where f
// is (position − lower) ÷ (upper − lower) in double precision. Positions outside the range draw
// as an empty or a full bar; an empty range fills nothing.
int FilledWidth(int width, int position, int lower, int upper);

// The percentage shown: f × 100.0 truncated in double precision (so 29, 57 and 58 of 0..100 read
// 28, 56 and 57, as they always have on this device's upgrader), held to 0..100.
int PercentShown(int position, int lower, int upper);

// "<label> - <percentage right-aligned in three places>%", e.g. "Down -   7%".
std::string ProgressText(std::string_view label, int position, int lower, int upper);

}  // namespace torv2::window
