#include "emulator/timed_event.h"

#include <array>
#include <charconv>
#include <utility>

namespace torv2::emulator {
namespace {

// At most nine decimal digits, nothing else.
std::optional<unsigned long> Number(std::string_view digits) {
  unsigned long value = 0;  // unsigned: no sign is taken
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<TimedEvent> ParseTimedEvent(std::string_view text) {
  const std::size_t first = text.find(':');
  const std::size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const auto at = Number(text.substr(0, first));
  const auto programmer = Number(text.substr(second + 1));
  const std::string_view action = text.substr(first + 1, second - first - 1);
  if (!at || !programmer || *programmer < 1) return std::nullopt;
  using A = TimedEvent::Action;
  static constexpr std::array<std::pair<std::string_view, A>, 3> kActions{
      {{"plug", A::Plug}, {"unplug", A::Unplug}, {"replug", A::Replug}}};
  for (const auto& [word, a] : kActions) {
    if (action == word) {
      return TimedEvent{a, static_cast<int>(*programmer), std::chrono::milliseconds(*at)};
    }
  }
  return std::nullopt;
}

}  // namespace torv2::emulator
