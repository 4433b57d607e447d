#pragma once
// A second, deliberately plain reading of the reply framing over the device's bytes as one flat
// stream, to hold the link's version against. The link never loses or reorders a byte (it reads
// whole USB packets into its own buffer), so how the device cut its bytes into writes and
// transfers must not change what a receiver makes of them.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz/support/fuzz_input.h"

// The plain reading is the oracle, not code under test (TORV2_FUZZ_ORACLE).
namespace torv2::fuzz {

class ByteStream {
 public:
  explicit ByteStream(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  TORV2_FUZZ_ORACLE bool Next(std::uint8_t& b) {
    if (at_ == bytes_.size()) return false;
    b = bytes_[at_++];
    return true;
  }
  std::size_t position() const { return at_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

inline constexpr std::size_t kModelDropLength = 65536;
inline constexpr int kModelMaxRefusals = 64;  // '-' answers in a row before the receiver gives up

TORV2_FUZZ_ORACLE inline bool ModelChecksumMatches(ByteStream& s, std::uint8_t sum, bool& good) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::uint8_t d0 = 0, d1 = 0;
  if (!s.Next(d0) || !s.Next(d1)) return false;
  good = d0 == static_cast<std::uint8_t>(kHex[sum >> 4]) &&
         d1 == static_cast<std::uint8_t>(kHex[sum & 0x0F]);
  return true;
}

TORV2_FUZZ_ORACLE inline bool ModelHunt(ByteStream& s) {
  std::uint8_t b = 0;
  do {
    if (!s.Next(b)) return false;
  } while ((b & 0x7F) != '$');
  return true;
}

// One reply packet "$payload#cc": the payload length (0 on failure), the payload, and the
// acknowledgements the receiver sends ('+' or '-') appended to `answers`.
TORV2_FUZZ_ORACLE inline int ModelReplyPacket(ByteStream& s, std::vector<std::uint8_t>& payload,
                                              std::vector<std::uint8_t>& answers) {
  for (int refused = 0;;) {
    if (!ModelHunt(s)) return 0;
    payload.clear();
    std::uint8_t sum = 0;
    bool complete = false;
    while (payload.size() < kModelDropLength) {
      std::uint8_t b = 0;
      if (!s.Next(b)) return 0;
      if (b == '#') {
        complete = true;
        break;
      }
      payload.push_back(b);
      sum = static_cast<std::uint8_t>(sum + b);
    }
    if (!complete) continue;
    bool good = false;
    if (!ModelChecksumMatches(s, sum, good)) return 0;
    answers.push_back(good ? '+' : '-');
    if (good) return static_cast<int>(payload.size());
    if (++refused == kModelMaxRefusals) return 0;
  }
}

// One escaped reply packet "$$$$payload####cc" (runs of one to three '#' are data), likewise.
TORV2_FUZZ_ORACLE inline int ModelEscapedReplyPacket(ByteStream& s,
                                                     std::vector<std::uint8_t>& payload,
                                                     std::vector<std::uint8_t>& answers) {
  for (int refused = 0;;) {
    for (int i = 0; i < 4; ++i) {
      if (!ModelHunt(s)) return 0;
    }
    payload.clear();
    std::uint8_t sum = 0;
    bool complete = false;
    while (payload.size() < kModelDropLength) {
      // Count the '#' in front of the next other byte; the fourth ends the payload.
      std::size_t hashes = 0;
      std::uint8_t b = 0;
      for (;;) {
        if (!s.Next(b)) return 0;
        if (b != '#') break;
        if (++hashes == 4) break;
      }
      if (hashes == 4) {
        complete = true;
        break;
      }
      payload.insert(payload.end(), hashes, '#');
      payload.push_back(b);
      sum = static_cast<std::uint8_t>(sum + b + 0x23 * hashes);
    }
    if (!complete) continue;
    bool good = false;
    if (!ModelChecksumMatches(s, sum, good)) return 0;
    answers.push_back(good ? '+' : '-');
    if (good) return static_cast<int>(payload.size());
    if (++refused == kModelMaxRefusals) return 0;
  }
}

TORV2_FUZZ_ORACLE inline bool SameText(std::span<const std::uint8_t> bytes, std::string_view text) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()) == text;
}

}  // namespace torv2::fuzz
