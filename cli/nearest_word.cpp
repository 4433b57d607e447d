#include "cli/nearest_word.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace torv2::cli {
namespace {

char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// The number of single-character edits between two words, letter case aside.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const std::size_t change = Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1;
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + change});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::optional<std::string> NearestWord(std::string_view word,
                                       std::span<const std::string> candidates) {
  const std::string* best = nullptr;
  std::size_t bestDistance = 0;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = EditDistance(word, candidate);
    if (!best || distance < bestDistance) {
      best = &candidate;
      bestDistance = distance;
    }
  }
  const std::size_t slip = std::max<std::size_t>(2, word.size() / 3);
  if (!best || bestDistance > slip) return std::nullopt;
  return *best;
}

}  // namespace torv2::cli
