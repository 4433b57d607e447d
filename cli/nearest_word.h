#pragma once
// The nearest of several words to one mistyped, for "did you mean" hints.

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace torv2::cli {

// The candidate nearest to `word` (fewest single-character edits, letter case aside), when it is
// near enough to be a slip of the keyboard; nullopt otherwise.
std::optional<std::string> NearestWord(std::string_view word,
                                       std::span<const std::string> candidates);

}  // namespace torv2::cli
