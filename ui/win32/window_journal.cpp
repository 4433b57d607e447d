#include "ui/win32/window_journal.h"

#include <commctrl.h>

#include <string>

#include "ui/win32/device_notification.h"
#include "ui/win32/resource.h"
#include "ui/win32/upgrader_dlg.h"
#include "win32/wide_text.h"

namespace torv2::win32 {
namespace {

std::string OneLine(std::string text) {
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  for (std::size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "/");
  return text;
}

// Writes down what the controller asks of the window and hands each call on to the dialog: a
// state once the dialog shows it, a modal dialog as it opens and again once it is closed.
class JournalView final : public window::WindowView {
 public:
  JournalView(CZARN_TORV2_UpgraderDlg& dialog, JournalLine write)
      : dialog_(dialog), view_(dialog), write_(std::move(write)) {
    CTextProgressCtrl& bar = dialog_.progressBar();
    bar.onPaint = [this, &bar](int filled, const std::wstring& text) {
      write_("bar " + std::to_string(bar.GetPos()) + " " + std::to_string(filled) + " " +
             Utf8FromWide(text));
    };
    dialog_.onMessageShown = [this](const ShownMessage& shown) {
      if (shown.taskDialog) {
        write_("message-box task-dialog");
        if (!shown.details.empty())
          write_("message-details " + OneLine(Utf8FromWide(shown.details)));
      } else {
        write_("message-box plain " + OneLine(Utf8FromWide(shown.text)));
      }
    };
  }
  ~JournalView() override {
    dialog_.progressBar().onPaint = nullptr;
    dialog_.onMessageShown = nullptr;
  }
  JournalView(const JournalView&) = delete;
  JournalView& operator=(const JournalView&) = delete;

  void SetTitle(std::string_view title) override {
    view_.SetTitle(title);
    write_("title " + std::string(title));
  }
  void SetUpgradeVersionText(std::string_view text) override {
    view_.SetUpgradeVersionText(text);
    write_("upgrade-version " + std::string(text));
  }
  void SetCurrentVersionText(std::string_view text) override {
    view_.SetCurrentVersionText(text);
    write_("current-version " + std::string(text));
  }
  void EnableUpdate(bool enabled) override {
    view_.EnableUpdate(enabled);
    write_(enabled ? "button on" : "button off");
  }
  void ShowMessage(std::string_view text, std::string_view caption, window::MessageIcon icon,
                   std::string_view details) override {
    write_("message " + std::string(text));
    view_.ShowMessage(text, caption, icon, details);
    write_("message closed");
  }
  void ShowResult(const upgrade::UpgradeReport& report) override {
    write_("result " + report.mainResult + " | " + report.subResult + " | " +
           OneLine(report.socketTable) + " | " + report.upgradeVersion + " | " +
           report.currentVersion);
    // The dialog's modal loop runs this once the dialog is up.
    dialog_.queue().Post([this] { WriteFonts(); });
    view_.ShowResult(report);
    write_("result closed");
  }
  void End() override {
    write_("close");
    view_.End();
  }
  link::ProgressSink& ProgressBar() override { return view_.ProgressBar(); }

 private:
  void WriteFonts() {
    const CUpgradeResultDlg* result = dialog_.resultDialog();
    const HWND window = result != nullptr ? result->GetSafeHwnd() : nullptr;
    if (window == nullptr) return;
    for (int id = IDC_MAIN_LINE; id <= IDC_CURRENT_LINE; ++id) {
      const auto font = reinterpret_cast<HFONT>(SendDlgItemMessageW(window, id, WM_GETFONT, 0, 0));
      LOGFONTW f{};
      if (font == nullptr || GetObjectW(font, sizeof f, &f) != sizeof f) continue;
      write_("font " + std::to_string(id) + " " + Utf8FromWide(f.lfFaceName) + " " +
             std::to_string(f.lfHeight) + " " + std::to_string(f.lfWeight) + " charset " +
             std::to_string(f.lfCharSet));
    }
  }

  CZARN_TORV2_UpgraderDlg& dialog_;
  window::WindowView& view_;  // the dialog as the controller would see it
  JournalLine write_;
};

}  // namespace

INT_PTR RunJournaledWindow(link::UsbTransport& transport, window::WindowOptions options,
                           JournalLine write, bool plainBoxes) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);
  if (!options.registerDeviceNotification) options.registerDeviceNotification = &WatchProgrammers;

  CZARN_TORV2_UpgraderDlg dialog;
  dialog.allowTaskDialog = !plainBoxes;
  JournalView journal(dialog, write);
  window::WindowController controller(journal, dialog.queue(), transport, std::move(options));
  const INT_PTR result = dialog.DoModal(controller);
  write("end");
  return result;
}

}  // namespace torv2::win32
