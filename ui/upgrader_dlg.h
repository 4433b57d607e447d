#pragma once
// The main window: the carried version and the device's, the connection state in the title, the
// Update button and the progress bar. It runs the start-up sequence (load the images, talk to the
// device once, register for device arrival and removal), follows the device, filters the
// keyboard, and hosts the upgrade job, which runs on a worker thread of its own.

#include <QDialog>
#include <QPointer>
#include <QString>
#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "link/usb_link.h"
#include "ui/device_notification.h"
#include "ui/gui_thread_queue.h"
#include "ui/window_host.h"
#include "upgrade/upgrader.h"

class CTextProgressCtrl;
class CUpgradeResultDlg;
class QLabel;
class QPushButton;
namespace Ui {
class CZARN_TORV2_UpgraderDlg;
}

namespace torv2::ui {

class ProgressRelay;

struct UpgraderDlgOptions {
  link::LinkTimeouts linkTimeouts{};
  upgrade::UpgraderTimings timings{};  // the wait after a reset at start-up
  // Where the carried images are read from; unset: this program's own executable.
  std::optional<std::string> modulePath;
  // Registers for device arrival and removal at the end of start-up; unset: no events come.
  RegisterDeviceNotification registerDeviceNotification;
  // Told of each status check and upgrade attempt (the history); may be null.
  upgrade::AttemptObserver* attempts = nullptr;
};

// The title suffixes: U+3000 is the ideographic space, U+00A7 the section sign.
inline const QString kTitleConnected = QStringLiteral("\u3000\u3000\u3000\u00A7 USB OK \u00A7");
inline const QString kTitleDisconnected = QStringLiteral("\u3000\u00A7 USB UnConn \u00A7");

}  // namespace torv2::ui

class CZARN_TORV2_UpgraderDlg : public QDialog, private torv2::ui::WindowActions {
  Q_OBJECT

 public:
  // `transport` reaches the programmer; it must outlive the dialog.
  explicit CZARN_TORV2_UpgraderDlg(torv2::link::UsbTransport& transport,
                                   torv2::ui::UpgraderDlgOptions options = {});
  ~CZARN_TORV2_UpgraderDlg() override;

  // The start-up sequence, run once before the window is first shown.
  bool OnInitDialog();
  // OnInitDialog, then the modal loop until the window is closed or a completed job ends it.
  int DoModal();

  // The Update button and the space key: starts the upgrade job unless one runs.
  void OnBnClickedUpdate();
  // A device arrived or was removed. GUI thread.
  void OnDeviceChange(torv2::ui::DeviceEvent event);
  // The close box: cancels and joins a running job, then ends the dialog.
  void OnClose();

  void ShowUsbConnected();
  void ShowUsbDisconnected();

  torv2::upgrade::Upgrader& upgrader() { return *upgrader_; }
  CTextProgressCtrl* progressBar() const;
  QPushButton* updateButton() const;
  QLabel* upgradeVersionLabel() const;  // control 1004
  QLabel* currentVersionLabel() const;  // control 1005
  CUpgradeResultDlg* resultDialog() const { return m_pResultDlg.get(); }
  const QString& baseTitle() const { return m_strTitle; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // Enter and Escape never end this dialog: only the close box and a completed job do.
  void accept() override {}
  void reject() override {}

 private:
  void HandleDeviceChange(torv2::ui::DeviceEvent event);
  void RegisterUsbNotification();

  // What the upgrade's host asks of the window, on the GUI thread.
  void ShowMessageBox(const QString& text, const QString& caption) override;
  void RunResultDialog(const torv2::upgrade::UpgradeReport& report) override;
  void SetUpdateButtonEnabled(bool enabled) override;
  void SetCurrentVersionText(const QString& text) override;
  void EndMainDialog() override;

  std::unique_ptr<Ui::CZARN_TORV2_UpgraderDlg> ui_;
  torv2::ui::UpgraderDlgOptions options_;
  torv2::ui::GuiThreadQueue queue_;
  std::unique_ptr<torv2::ui::ProgressRelay> progress_;
  std::unique_ptr<torv2::ui::WindowHost> host_;
  torv2::link::UsbLink link_;
  std::unique_ptr<torv2::upgrade::Upgrader> upgrader_;
  std::unique_ptr<CUpgradeResultDlg> m_pResultDlg;
  QString m_strTitle;
  std::unique_ptr<torv2::ui::DeviceNotification> notification_;

  QPointer<QDialog> openModal_;  // the message box or result dialog on screen, if any
  bool closing_ = false;
  // Device events that came while one was being handled (its version query may show a message
  // box, whose modal loop lets further events in); handled in order afterwards.
  bool handlingDeviceChange_ = false;
  std::deque<torv2::ui::DeviceEvent> pendingDeviceEvents_;
  std::atomic<unsigned> removals_{0};  // an arrival older than the last removal is stale
};
