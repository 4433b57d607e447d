#pragma once
// A change on the bus at a set time after a run started, as both emulators' `--at MS:ACTION:N`
// gives it: programmer N plugged in (it is off the bus until then), unplugged, or unplugged and
// plugged in again.

#include <chrono>
#include <optional>
#include <string_view>

namespace torv2::emulator {

struct TimedEvent {
  enum class Action { Plug, Unplug, Replug } action;
  int programmer;  // 1 = the first
  std::chrono::milliseconds at;
};

// "1500:plug:3" (ACTION plug, unplug or replug; MS and N in decimal, N from 1); nullopt for
// anything else.
std::optional<TimedEvent> ParseTimedEvent(std::string_view text);

}  // namespace torv2::emulator
