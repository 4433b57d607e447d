// Writes the placeholder firmware images the upgrader carries when no real ones are given to the
// build. Both are deterministic pseudo-random bytes, so a single corrupted byte shows in a
// comparison. The main image holds its title at byte 336; the sub image keeps every 1000-byte
// read-back block deliverable in an escaped reply packet (no "####", no '#' at a block's end)
// and, near its start, runs of one to three '#' and of '$' to exercise that escaping.
//
//   make_placeholder_image main|sub <output file>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kMainSize = 217'772;
constexpr std::size_t kSubSize = 61'172;
constexpr std::size_t kTitleOffset = 336;
constexpr std::string_view kMainTitle = "MainExe - TORV2 Execute V02.08";
constexpr std::size_t kBlockSize = 1000;
constexpr std::size_t kMarksOffset = 100;
constexpr std::string_view kEscapeMarks = "A#B##C###D$$$$E";

// splitmix64: a small generator with a fixed, well-known output for each seed.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

std::vector<std::uint8_t> RandomBytes(std::size_t size, std::uint64_t seed) {
  SplitMix64 random(seed);
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; i += 8) {
    const std::uint64_t word = random.Next();
    for (std::size_t k = 0; k < 8 && i + k < size; ++k) {
      bytes[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
    }
  }
  return bytes;
}

std::vector<std::uint8_t> MainImage() {
  std::vector<std::uint8_t> image = RandomBytes(kMainSize, 0x544F5256'32000720ull);
  std::memcpy(image.data() + kTitleOffset, kMainTitle.data(), kMainTitle.size());
  image[kTitleOffset + kMainTitle.size()] = 0;
  return image;
}

std::vector<std::uint8_t> SubImage() {
  std::vector<std::uint8_t> image = RandomBytes(kSubSize, 0x544F5256'32000730ull);
  std::memcpy(image.data() + kMarksOffset, kEscapeMarks.data(), kEscapeMarks.size());
  for (std::size_t start = 0; start < image.size(); start += kBlockSize) {
    const std::size_t end = std::min(start + kBlockSize, image.size());
    std::size_t run = 0;
    for (std::size_t i = start; i < end; ++i) {
      if (image[i] == '#' && (run == 3 || i + 1 == end)) image[i] = '"';
      run = image[i] == '#' ? run + 1 : 0;
    }
  }
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s main|sub <output file>\n", argv[0]);
    return 2;
  }
  const std::string_view kind = argv[1];
  if (kind != "main" && kind != "sub") {
    std::fprintf(stderr, "%s: unknown image kind '%s'\n", argv[0], argv[1]);
    return 2;
  }
  const std::vector<std::uint8_t> image = kind == "main" ? MainImage() : SubImage();
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
    return 1;
  }
  return 0;
}
