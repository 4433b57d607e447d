#pragma once
// Taking control values and bytes off the front of a fuzz input, and failing loudly when a
// property does not hold (libFuzzer stops on the abort and keeps the input).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

// For the harness's own code (a plain reading to compare against, the scripted device): not
// instrumented for coverage, so it costs a run little and its branches never count as progress
// to the fuzzer. ASan and UBSan still check it.
#if defined(__clang__)
#define TORV2_FUZZ_ORACLE __attribute__((no_sanitize("coverage")))
#else
#define TORV2_FUZZ_ORACLE
#endif

namespace torv2::fuzz {

class FuzzInput {
 public:
  explicit FuzzInput(std::span<const std::uint8_t> bytes) : all_(bytes), bytes_(bytes) {}

  // 0 once the input is used up, so every input maps to some run.
  std::uint8_t Byte() {
    if (bytes_.empty()) return 0;
    const std::uint8_t b = bytes_.front();
    bytes_ = bytes_.subspan(1);
    return b;
  }
  std::uint16_t U16() {
    const std::uint16_t lo = Byte();
    return static_cast<std::uint16_t>(lo | (Byte() << 8));
  }
  // Up to n bytes.
  std::span<const std::uint8_t> Take(std::size_t n) {
    const auto taken = bytes_.first(std::min(n, bytes_.size()));
    bytes_ = bytes_.subspan(taken.size());
    return taken;
  }
  std::span<const std::uint8_t> Rest() { return Take(bytes_.size()); }
  bool empty() const { return bytes_.empty(); }

  // The sum of all the input's bytes, used or not, modulo 256: a choice that almost any mutation
  // of the input changes.
  TORV2_FUZZ_ORACLE std::uint8_t ByteSum() const {
    std::uint8_t sum = 0;
    for (const std::uint8_t b : all_) sum = static_cast<std::uint8_t>(sum + b);
    return sum;
  }

 private:
  std::span<const std::uint8_t> all_;
  std::span<const std::uint8_t> bytes_;
};

[[noreturn]] inline void CheckFailed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace torv2::fuzz

// Not assert(): the fuzz build defines NDEBUG, and these checks are the point of the run.
#define FUZZ_CHECK(cond)                                                \
  do {                                                                  \
    if (!(cond)) ::torv2::fuzz::CheckFailed(#cond, __FILE__, __LINE__); \
  } while (0)
