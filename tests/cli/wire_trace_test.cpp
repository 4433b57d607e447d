// The trace lines support staff read: texts as they are, bytes escaped, data by length and CRC.
#include "cli/wire_trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace torv2::cli {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view s) {
  return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

TEST(WireTrace, LinesShowTimeDirectionAndContent) {
  const std::string size("\x00\x40\x01\x00\xac\x52\x03\x00", 8);
  const std::string chunk(8192, 'a');
  struct Case {
    link::Direction direction;
    std::string_view what;
    std::string bytes;
    const char* line;
  };
  const Case cases[] = {
      {link::Direction::ToDevice, "command", "$gResetNow#9e",
       "     1.500 ms  -> command        $gResetNow#9e"},
      {link::Direction::FromDevice, "reply", "OK", "     1.500 ms  <- reply          OK"},
      {link::Direction::ToDevice, "size record", size,
       "     1.500 ms  -> size record    \\x00@\\x01\\x00\\xacR\\x03\\x00"},
      {link::Direction::FromDevice, "reply", "a\\b", "     1.500 ms  <- reply          a\\x5cb"},
      // CRC-32 of 8192 'a' bytes, as zlib computes it.
      {link::Direction::FromDevice, "data", chunk,
       "     1.500 ms  <- data           8192 bytes, crc32 0d6f66d5"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatTraceLine(1.5, "", c.direction, c.what, Bytes(c.bytes)), c.line);
  }
  EXPECT_EQ(FormatTraceLine(0, "1-2", link::Direction::ToDevice, "ack", Bytes("+")),
            "     0.000 ms  1-2  -> ack            +");
}

}  // namespace
}  // namespace torv2::cli
