#include "upgrade/embedded_images.h"

#include <span>
#include <variant>

#include "upgrade/module_resources.h"

namespace torv2::upgrade {
namespace {

std::string_view FailureText(ResourceFailure failure) {
  switch (failure) {
    case ResourceFailure::kOpenModule:
      return "LoadLibrary Error!";
    case ResourceFailure::kFindResource:
      return "FindResource Error!";
    case ResourceFailure::kLoadResource:
      return "LoadResource Error!";
    case ResourceFailure::kLockResource:
      return "LockResource Error!";
  }
  return "LoadResource Error!";
}

// Fills `image` with resource `id` of the module; shows why when it cannot.
bool LoadImage(std::string_view modulePath, std::uint16_t id, FirmwareImage& image,
               const MessageSink& showMessage) {
  image = {};
  const ResourceLookup lookup = FindModuleResource(modulePath, id, kRcDataResourceType);
  if (const auto* failure = std::get_if<ResourceFailure>(&lookup)) {
    if (showMessage) showMessage(FailureText(*failure), kErrorCaption);
    return false;
  }
  const auto& bytes = std::get<ResourceBytes>(lookup);
  if (bytes.data == nullptr) {
    if (showMessage) showMessage(FailureText(ResourceFailure::kLockResource), kErrorCaption);
    return false;
  }
  image = {bytes.data, bytes.size};
  return true;
}

}  // namespace

std::string LoadMainImage(std::string_view modulePath, FirmwareImage& image,
                          VersionText& versionText, const MessageSink& showMessage) {
  versionText = {};
  if (!LoadImage(modulePath, kMainImageResourceId, image, showMessage)) {
    return std::string(kLoadFailed);
  }
  const std::string_view title = ImageTitle(std::span(image.data, image.size));
  versionText = VersionTextFromTitle(title);
  return std::string(title);
}

std::string LoadSubImage(std::string_view modulePath, FirmwareImage& image,
                         const MessageSink& showMessage) {
  if (!LoadImage(modulePath, kSubImageResourceId, image, showMessage)) {
    return std::string(kLoadFailed);
  }
  return {};
}

CarriedImages LoadCarriedImages(std::string_view modulePath, const MessageSink& showMessage) {
  CarriedImages images;
  VersionText versionText{};
  images.title = LoadMainImage(modulePath, images.main, versionText, showMessage);
  if (!images.main.loaded()) {
    images.problem = ModuleReadProblem(modulePath);
    return images;
  }
  images.version = AcceptCarriedVersion(VersionTextView(versionText));
  if (images.version) LoadSubImage(modulePath, images.sub, showMessage);
  return images;
}

}  // namespace torv2::upgrade
