#pragma once
// --trace: one line per exchange on stderr, with the time since the trace began and the
// direction. Short texts are shown as they are; data chunks by length and CRC-32.

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "link/trace.h"

namespace torv2::cli {

// "   12.345 ms  dev1  -> command        $gResetNow#9e"
std::string FormatTraceLine(double milliseconds, std::string_view device, link::Direction direction,
                            std::string_view what, std::span<const std::uint8_t> bytes);

class WireTrace : public link::LinkTrace {
 public:
  WireTrace(std::string device, std::chrono::steady_clock::time_point start,
            std::FILE* out = stderr);
  void Record(link::Direction direction, std::string_view what,
              std::span<const std::uint8_t> bytes) override;

 private:
  std::string device_;
  std::chrono::steady_clock::time_point start_;
  std::FILE* out_;
};

}  // namespace torv2::cli
