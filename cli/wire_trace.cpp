#include "cli/wire_trace.h"

#include <array>
#include <cinttypes>

namespace torv2::cli {
namespace {

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  static const auto kTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    return table;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t b : bytes) crc = kTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

constexpr std::size_t kShownAsText = 64;

}  // namespace

std::string FormatTraceLine(double milliseconds, std::string_view device, link::Direction direction,
                            std::string_view what, std::span<const std::uint8_t> bytes) {
  char head[96];
  std::snprintf(head, sizeof head, "%10.3f ms  %.*s%s%s %-14.*s ", milliseconds,
                static_cast<int>(device.size()), device.data(), device.empty() ? "" : "  ",
                direction == link::Direction::ToDevice ? "->" : "<-", static_cast<int>(what.size()),
                what.data());
  std::string line = head;
  if (bytes.size() > kShownAsText) {
    char summary[64];
    std::snprintf(summary, sizeof summary, "%zu bytes, crc32 %08" PRIx32, bytes.size(),
                  Crc32(bytes));
    return line + summary;
  }
  for (std::uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      line += static_cast<char>(b);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", b);
      line += escaped;
    }
  }
  return line;
}

WireTrace::WireTrace(std::string device, std::chrono::steady_clock::time_point start,
                     std::FILE* out)
    : device_(std::move(device)), start_(start), out_(out) {}

void WireTrace::Record(link::Direction direction, std::string_view what,
                       std::span<const std::uint8_t> bytes) {
  const std::chrono::duration<double, std::milli> since = std::chrono::steady_clock::now() - start_;
  const std::string line = FormatTraceLine(since.count(), device_, direction, what, bytes);
  std::fprintf(out_, "%s\n", line.c_str());  // one call per line: lines of devices never mix
}

}  // namespace torv2::cli
