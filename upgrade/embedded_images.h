#pragma once
// Loading the two carried firmware images from the running executable at start-up.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "upgrade/firmware_image.h"
#include "upgrade/module_resources.h"  // ExecutablePath(), the usual module path
#include "upgrade/version_text.h"

namespace torv2::upgrade {

// Shows a message to the user (a modal box with one OK button in the GUI).
using MessageSink = std::function<void(std::string_view text, std::string_view caption)>;

inline constexpr std::string_view kLoadFailed = "Err";
// What stands for the carried version when the main image cannot be loaded.
inline constexpr std::string_view kUnknownMainExe = "Unknown - MainExe";
inline constexpr std::string_view kErrorCaption = "Error!";

// Finds the main image (resource 720) in the executable at `modulePath`. On success fills `image`
// and `versionText` (the title's last five characters) and returns the title; on failure shows
// one of "LoadLibrary Error!", "FindResource Error!", "LoadResource Error!" or
// "LockResource Error!" with the caption "Error!", leaves `image` unloaded and `versionText`
// empty, and returns "Err". Callers tell success by image.loaded(): a title may read "Err" too.
std::string LoadMainImage(std::string_view modulePath, FirmwareImage& image,
                          VersionText& versionText, const MessageSink& showMessage);

// The same for the sub image (resource 730); returns an empty string on success.
std::string LoadSubImage(std::string_view modulePath, FirmwareImage& image,
                         const MessageSink& showMessage);

// The two images as the program loads them at start-up.
struct CarriedImages {
  FirmwareImage main;
  FirmwareImage sub;
  std::string title;              // the main image's title; "Err" when it could not be loaded
  std::optional<double> version;  // the carried version, when its text is accepted
  // Why the main image could not be loaded when the program cannot read its own file ("cannot
  // read /path/to/program: Permission denied"); empty otherwise.
  std::string problem;
};

// Loads the main image and its version from the executable at `modulePath`, and the sub image
// only when that version is accepted; shows why an image cannot be loaded.
CarriedImages LoadCarriedImages(std::string_view modulePath, const MessageSink& showMessage);

}  // namespace torv2::upgrade
