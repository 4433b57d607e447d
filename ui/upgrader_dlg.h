#pragma once
// The main window over Qt: the widgets of the layout, the keyboard filter and the modal dialogs.
// What the window does (start-up, device events, the job, the texts) is the WindowController's.

#include <QDialog>
#include <QString>
#include <memory>

#include "ui/gui_thread_queue.h"
#include "window/window_controller.h"

class CTextProgressCtrl;
class CUpgradeResultDlg;
class QLabel;
class QPushButton;
namespace Ui {
class CZARN_TORV2_UpgraderDlg;
}

class CZARN_TORV2_UpgraderDlg : public QDialog, private torv2::window::WindowView {
  Q_OBJECT

 public:
  // `transport` reaches the programmer; it must outlive the dialog.
  explicit CZARN_TORV2_UpgraderDlg(torv2::link::UsbTransport& transport,
                                   torv2::window::WindowOptions options = {});
  ~CZARN_TORV2_UpgraderDlg() override;

  // The start-up sequence, run once before the window is first shown.
  bool OnInitDialog();
  // OnInitDialog, then the modal loop until the window is closed or a completed job ends it.
  int DoModal();

  // The Update button.
  void OnBnClickedUpdate();
  // The close box: cancels and joins a running job, then ends the dialog.
  void OnClose();

  torv2::window::WindowController& controller() { return *controller_; }
  torv2::upgrade::Upgrader& upgrader() { return controller_->upgrader(); }
  CTextProgressCtrl* progressBar() const;
  QPushButton* updateButton() const;
  QLabel* upgradeVersionLabel() const;  // control 1004
  QLabel* currentVersionLabel() const;  // control 1005
  CUpgradeResultDlg* resultDialog() const { return m_pResultDlg.get(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // Enter and Escape never end this dialog: only the close box and a completed job do.
  void accept() override {}
  void reject() override {}

 private:
  // What the controller asks of the window.
  void SetTitle(std::string_view title) override;
  void SetUpgradeVersionText(std::string_view text) override;
  void SetCurrentVersionText(std::string_view text) override;
  void EnableUpdate(bool enabled) override;
  void ShowMessage(std::string_view text, std::string_view caption, torv2::window::MessageIcon icon,
                   std::string_view details) override;
  void ShowResult(const torv2::upgrade::UpgradeReport& report) override;
  void End() override;
  torv2::link::ProgressSink& ProgressBar() override;

  std::unique_ptr<Ui::CZARN_TORV2_UpgraderDlg> ui_;
  torv2::ui::GuiThreadQueue queue_;
  std::unique_ptr<CUpgradeResultDlg> m_pResultDlg;
  // Last, so destroyed first: it stops and joins every worker, and closes the queue, while the
  // widgets are still there.
  std::unique_ptr<torv2::window::WindowController> controller_;
};
