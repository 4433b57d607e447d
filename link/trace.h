#pragma once
// What went over the wire, for support staff reading a failed upgrade: every command frame,
// reply, raw record and acknowledgement, in the order they happened. Off unless a sink is set on
// the link; then each exchange costs one call, and nothing per byte.

#include <cstdint>
#include <span>
#include <string_view>

namespace torv2::link {

enum class Direction { ToDevice, FromDevice };

class LinkTrace {
 public:
  virtual ~LinkTrace() = default;
  // `what` names the piece: "command", "ack", "reply", "escaped reply", "size record", "chunk",
  // "chunk ack", "data", "block request"; and "discarded" for bytes of an earlier exchange that
  // the link dropped before a command.
  virtual void Record(Direction direction, std::string_view what,
                      std::span<const std::uint8_t> bytes) = 0;
};

}  // namespace torv2::link
