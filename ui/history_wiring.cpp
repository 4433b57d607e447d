#include "ui/history_wiring.h"

#include <QCommandLineParser>
#include <cstdio>

#include "history/attempt_recorder.h"
#include "history/history_path.h"
#include "history/history_store.h"
#include "link/libusb/libusb_transport.h"
#include "link/programmer_name.h"
#include "link/usb_link.h"
#include "upgrade/embedded_images.h"
#include "upgrade/version_text.h"

namespace torv2::ui {
namespace {

// The store lives as long as the recorder that writes to it.
class KeptHistory final : public upgrade::AttemptObserver {
 public:
  KeptHistory(const std::filesystem::path& path, history::RecorderSettings settings)
      : store_(path,
               [](std::string_view text) {
                 std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
               }),
        recorder_(store_, std::move(settings)) {}
  void AttemptBegan(const upgrade::Attempt& attempt) override { recorder_.AttemptBegan(attempt); }
  void AttemptEnded(const upgrade::Attempt& attempt) override { recorder_.AttemptEnded(attempt); }

 private:
  history::HistoryStore store_;
  history::AttemptRecorder recorder_;
};

// The first programmer the transport would open, named like the command line's `list`.
history::ProgrammerIdentity FirstProgrammer(link::LibusbTransport& usb) {
  const auto found = usb.List(link::DeviceInterfaceGuid, link::kControlRequestTimeout);
  if (found.empty()) return {};
  const link::AttachedProgrammer& p = found.front();
  const std::string address = p.address.ToString();
  return {link::ProgrammerName(p.serialNumber, link::PortName(p.address.bus, p.portPath), address),
          address};
}

std::string CarriedVersion() {
  upgrade::FirmwareImage image;
  upgrade::VersionText versionText{};
  upgrade::LoadMainImage(upgrade::RunningExecutable(), image, versionText,
                         [](std::string_view, std::string_view) {});
  const auto version = upgrade::AcceptCarriedVersion(upgrade::VersionTextView(versionText));
  return version ? upgrade::FormatVersion(*version) : std::string();
}

}  // namespace

std::unique_ptr<upgrade::AttemptObserver> KeepHistory(const QStringList& arguments,
                                                      link::LibusbTransport* usb) {
  QCommandLineParser parser;
  const QCommandLineOption path(QStringLiteral("history"), QStringLiteral("The history file"),
                                QStringLiteral("PATH"));
  const QCommandLineOption off(QStringLiteral("no-history"),
                               QStringLiteral("Keep no history of this run"));
  parser.addOption(path);
  parser.addOption(off);
  parser.parse(arguments);  // anything else is left to the rest of the program
  if (parser.isSet(off)) return nullptr;
  const std::filesystem::path file = parser.isSet(path)
                                         ? std::filesystem::path(parser.value(path).toStdString())
                                         : history::DefaultHistoryPath();
  if (file.empty()) return nullptr;
  history::RecorderSettings settings{.program = "torv2-upgrader",
                                     .versionCarried = CarriedVersion()};
  if (usb) settings.identity = [usb] { return FirstProgrammer(*usb); };
  return std::make_unique<KeptHistory>(file, std::move(settings));
}

}  // namespace torv2::ui
