#include "history/window_history.h"

#include <cstdio>

#include "history/history_store.h"
#include "upgrade/embedded_images.h"
#include "upgrade/version_text.h"

namespace torv2::history {
namespace {

// The store lives as long as the recorder that writes to it.
class KeptHistory final : public upgrade::AttemptObserver {
 public:
  KeptHistory(const std::filesystem::path& path, RecorderSettings settings)
      : store_(path,
               [](std::string_view text) {
                 std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
               }),
        recorder_(store_, std::move(settings)) {}
  void AttemptBegan(const upgrade::Attempt& attempt) override { recorder_.AttemptBegan(attempt); }
  void AttemptEnded(const upgrade::Attempt& attempt) override { recorder_.AttemptEnded(attempt); }

 private:
  HistoryStore store_;
  AttemptRecorder recorder_;
};

std::string CarriedVersion() {
  upgrade::FirmwareImage image;
  upgrade::VersionText versionText{};
  upgrade::LoadMainImage(upgrade::RunningExecutable(), image, versionText,
                         [](std::string_view, std::string_view) {});
  const auto version = upgrade::AcceptCarriedVersion(upgrade::VersionTextView(versionText));
  return version ? upgrade::FormatVersion(*version) : std::string();
}

}  // namespace

std::unique_ptr<upgrade::AttemptObserver> KeepWindowHistory(
    const std::filesystem::path& file, std::function<ProgrammerIdentity()> identity) {
  if (file.empty()) return nullptr;
  RecorderSettings settings{.program = "torv2-upgrader", .versionCarried = CarriedVersion()};
  settings.identity = std::move(identity);
  return std::make_unique<KeptHistory>(file, std::move(settings));
}

}  // namespace torv2::history
