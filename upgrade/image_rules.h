#pragma once
// What an image must meet to be carried by the upgrader. The build checks both images with these
// rules before it links them in, so a shipped executable never carries an image that the upgrade
// could not transfer, verify or show a version for.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace torv2::upgrade {

// Each returns the reasons the image cannot be carried; empty when it can.
// Main image: 1 to kMaxCarriedImageSize bytes, with a NUL-terminated title at kTitleOffset whose
// last five characters are an accepted version.
std::vector<std::string> CheckMainImage(std::span<const std::uint8_t> image);
// Sub image: 1 to kMaxCarriedImageSize bytes; no read-back block (link::kSubBlock bytes,
// as the transfer reads them) holds four '#' in a row or ends with '#', since the escaped reply
// packet that carries the block ends at the first "####".
std::vector<std::string> CheckSubImage(std::span<const std::uint8_t> image);

}  // namespace torv2::upgrade
