#pragma once
// The two firmware programs the upgrader carries inside its own executable, and the limits an
// image must meet to be carried at all.

#include <cstddef>
#include <cstdint>

namespace torv2::upgrade {

// A read-only view of a carried image inside the running executable. Never copied or freed;
// `data` stays null (and `size` 0) while the image is not loaded.
struct FirmwareImage {
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;

  bool loaded() const { return data != nullptr; }
};

// Resource ids of the two images (kept from the Windows build, where they are RT_RCDATA).
inline constexpr std::uint16_t kMainImageResourceId = 720;
inline constexpr std::uint16_t kSubImageResourceId = 730;
inline constexpr std::uint32_t kRcDataResourceType = 10;

// The main image's title text starts here and ends at the first NUL, e.g.
// "MainExe - TORV2 Execute V02.08"; its last five characters are the carried version.
inline constexpr std::size_t kTitleOffset = 336;

// The job reads each image back into one buffer of this size; a longer image cannot be verified.
inline constexpr std::size_t kReadBackBufferSize = 524'288;
inline constexpr std::size_t kMaxCarriedImageSize = kReadBackBufferSize;

}  // namespace torv2::upgrade
