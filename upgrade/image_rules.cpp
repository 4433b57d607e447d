#include "upgrade/image_rules.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "link/image_transfer.h"
#include "upgrade/firmware_image.h"
#include "upgrade/version_text.h"

namespace torv2::upgrade {
namespace {

constexpr std::size_t kShownTitleChars = 80;
constexpr std::size_t kMaxReportedBlocks = 5;
constexpr std::uint8_t kHash = '#';
// The blocks the transfer reads the sub image back in, each inside one escaped reply packet.
constexpr std::size_t kSubBlock = link::kSubBlock;

// Title bytes as printable text: other bytes as \xNN, cut after kShownTitleChars.
std::string Printable(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < kShownTitleChars; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (text.size() > kShownTitleChars) out += "...";
  return out;
}

void CheckSize(std::span<const std::uint8_t> image, std::vector<std::string>& problems) {
  if (image.empty()) problems.push_back("the image is empty");
  if (image.size() > kMaxCarriedImageSize) {
    problems.push_back("the image is " + std::to_string(image.size()) + " bytes, more than the " +
                       std::to_string(kMaxCarriedImageSize) +
                       " bytes the upgrade can read back and compare");
  }
}

}  // namespace

std::vector<std::string> CheckMainImage(std::span<const std::uint8_t> image) {
  std::vector<std::string> problems;
  CheckSize(image, problems);
  if (image.size() <= kTitleOffset) {
    if (!image.empty()) {
      problems.push_back("the image is " + std::to_string(image.size()) +
                         " bytes, too short for the title at byte " + std::to_string(kTitleOffset));
    }
    return problems;
  }
  const std::string_view title = ImageTitle(image);
  if (kTitleOffset + title.size() >= image.size()) {
    problems.push_back("the title at byte " + std::to_string(kTitleOffset) +
                       " has no terminating NUL before the end of the image");
  }
  const VersionText text = VersionTextFromTitle(title);
  if (!AcceptCarriedVersion(VersionTextView(text))) {
    problems.push_back("the title \"" + Printable(title) + "\" at byte " +
                       std::to_string(kTitleOffset) + " does not end in a version such as " +
                       "02.08 (its last five characters \"" + Printable(VersionTextView(text)) +
                       "\" are not one)");
  }
  return problems;
}

std::vector<std::string> CheckSubImage(std::span<const std::uint8_t> image) {
  std::vector<std::string> problems;
  CheckSize(image, problems);
  std::size_t badBlocks = 0;
  for (std::size_t start = 0; start < image.size(); start += kSubBlock) {
    const auto block = image.subspan(start, std::min(kSubBlock, image.size() - start));
    const std::uint8_t run[] = {kHash, kHash, kHash, kHash};
    const auto found = std::search(block.begin(), block.end(), std::begin(run), std::end(run));
    std::string reason;
    if (found != block.end()) {
      reason = "holds four '#' in a row at byte " +
               std::to_string(start + static_cast<std::size_t>(found - block.begin()));
    } else if (block.back() == kHash) {
      reason = "ends with '#' at byte " + std::to_string(start + block.size() - 1);
    } else {
      continue;
    }
    if (++badBlocks <= kMaxReportedBlocks) {
      problems.push_back("read-back block " + std::to_string(start / kSubBlock) + " (bytes " +
                         std::to_string(start) + " to " + std::to_string(start + block.size() - 1) +
                         ") " + reason + "; an escaped reply packet cannot carry it");
    }
  }
  if (badBlocks > kMaxReportedBlocks) {
    problems.push_back(std::to_string(badBlocks - kMaxReportedBlocks) +
                       " more read-back blocks cannot be carried either");
  }
  return problems;
}

}  // namespace torv2::upgrade
