// The reply packet receiver fed with arbitrary device bytes, cut into USB writes and transfers
// by the input's first bytes (see support/scripted_device.h).
//
// Holds: the receive buffer of exactly kReplyBufferSize bytes is never overrun (ASan); the
// result is at most 65,535; a payload is followed by a NUL and holds no '#'; and the result,
// the payload and every acknowledgement the host sent agree with a plain reading of the same
// bytes as one stream, whatever the cuts.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/packet_model.h"
#include "fuzz/support/scripted_device.h"
#include "link/packet.h"

using namespace torv2;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(std::span(data, size));
  fuzz::ScriptedDevice device(in);

  // Allocated once: exactly the size the receiver is given, so ASan still sees a write past it,
  // without a fresh 64 KiB allocation and clear per input. The receiver writes the NUL itself.
  static std::vector<std::uint8_t> buffer(link::kReplyBufferSize);
  const int n = link::ReceiveReplyPacket(device.link(), buffer);

  FUZZ_CHECK(n >= 0 && static_cast<std::size_t>(n) <= link::kMaxReplyPayload);
  if (n > 0) {
    FUZZ_CHECK(buffer[static_cast<std::size_t>(n)] == 0);
    FUZZ_CHECK(std::memchr(buffer.data(), '#', static_cast<std::size_t>(n)) == nullptr);
  }

  fuzz::ByteStream stream(device.stream());
  static std::vector<std::uint8_t> payload;  // kept from input to input, as the buffer
  static std::vector<std::uint8_t> answers;
  payload.clear();
  answers.clear();
  const int expected = fuzz::ModelReplyPacket(stream, payload, answers);
  FUZZ_CHECK(n == expected);
  if (n > 0) FUZZ_CHECK(std::equal(payload.begin(), payload.end(), buffer.begin()));
  FUZZ_CHECK(device.HostBytes() == answers);
  return 0;
}
