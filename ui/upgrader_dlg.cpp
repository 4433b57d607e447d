#include "ui/upgrader_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>

#include "ui/app_icon.h"
#include "ui/progress_relay.h"
#include "ui/text_progress_ctrl.h"
#include "ui/upgrade_result_dlg.h"
#include "ui_upgrader_dlg.h"
#include "upgrade/embedded_images.h"
#include "upgrade/version_text.h"

namespace {

using torv2::ui::DeviceEvent;

constexpr char kMsgModulePathFailed[] = "GetModuleFileName Failed!";
const QString kUnknown = QStringLiteral("Unknown");
const QString kUnknownMainExe = QStringLiteral("Unknown - MainExe");

// The bar's colours in this window: a dark blue bar on white.
const QColor kBarColour(0x00, 0x00, 0x99);
const QColor kBarBackground(0xFF, 0xFF, 0xFF);

}  // namespace

CZARN_TORV2_UpgraderDlg::CZARN_TORV2_UpgraderDlg(torv2::link::UsbTransport& transport,
                                                 torv2::ui::UpgraderDlgOptions options)
    : QDialog(nullptr),
      ui_(std::make_unique<Ui::CZARN_TORV2_UpgraderDlg>()),
      options_(std::move(options)),
      link_(transport, options_.linkTimeouts) {
  ui_->setupUi(this);
  setFixedSize(size());
  progress_ = std::make_unique<torv2::ui::ProgressRelay>(*ui_->m_progress, queue_);
  torv2::ui::WindowActions& actions = *this;
  host_ = std::make_unique<torv2::ui::WindowHost>(actions, queue_, *progress_,
                                                  QCoreApplication::applicationName());
  upgrader_ = std::make_unique<torv2::upgrade::Upgrader>(link_, *host_, options_.timings);
  upgrader_->SetAttemptObserver(options_.attempts);
  connect(ui_->IDOK, &QPushButton::clicked, this, &CZARN_TORV2_UpgraderDlg::OnBnClickedUpdate);
  qApp->installEventFilter(this);
}

CZARN_TORV2_UpgraderDlg::~CZARN_TORV2_UpgraderDlg() {
  qApp->removeEventFilter(this);
  // Nothing may wait for this window any more: stop the device events, let a waiting job go on,
  // then cancel it and wait for its thread.
  host_->Close();
  notification_.reset();
  queue_.Close();
  upgrader_->Shutdown();
}

bool CZARN_TORV2_UpgraderDlg::OnInitDialog() {
  setWindowIcon(torv2::ui::AppIcon());
  ui_->m_progress->m_colBk = kBarBackground;
  ui_->m_progress->m_colBar = kBarColour;
  m_strTitle = windowTitle();
  m_pResultDlg = std::make_unique<CUpgradeResultDlg>(this);

  std::string modulePath =
      options_.modulePath ? *options_.modulePath : torv2::upgrade::ExecutablePath();
  if (modulePath.empty()) host_->ShowMessage(kMsgModulePathFailed);

  // The carried images. Without a main image or its version nothing else of start-up happens.
  const torv2::upgrade::MessageSink showMessage = [this](std::string_view text,
                                                         std::string_view caption) {
    host_->ShowMessageWithCaption(text, caption);
  };
  torv2::upgrade::VersionText versionText{};
  torv2::upgrade::LoadMainImage(modulePath, upgrader_->m_mainImage, versionText, showMessage);
  if (!upgrader_->m_mainImage.loaded()) {
    ui_->m_staticUpgradeVersion->setText(kUnknownMainExe);
    return true;
  }
  const std::optional<double> version =
      torv2::upgrade::AcceptCarriedVersion(torv2::upgrade::VersionTextView(versionText));
  if (!version) return true;
  torv2::upgrade::LoadSubImage(modulePath, upgrader_->m_subImage, showMessage);
  ui_->m_staticUpgradeVersion->setText(
      QString::fromStdString(torv2::upgrade::FormatVersion(*version)));
  upgrader_->SetUpgradeVersionLine(torv2::upgrade::UpgradeVersionLine(*version));

  // One exchange with the device: status (with a reset when it asks for one), then its version.
  if (upgrader_->StartUpExchange()) {
    ShowUsbConnected();
  } else {
    ShowUsbDisconnected();
  }
  RegisterUsbNotification();
  return true;
}

int CZARN_TORV2_UpgraderDlg::DoModal() {
  OnInitDialog();
  return exec();
}

void CZARN_TORV2_UpgraderDlg::RegisterUsbNotification() {
  if (!options_.registerDeviceNotification) return;
  notification_ = options_.registerDeviceNotification(
      [this](DeviceEvent event) { queue_.Post([this, event] { OnDeviceChange(event); }); });
}

void CZARN_TORV2_UpgraderDlg::ShowUsbConnected() {
  setWindowTitle(m_strTitle + torv2::ui::kTitleConnected);
  ui_->IDOK->setEnabled(true);
}

void CZARN_TORV2_UpgraderDlg::ShowUsbDisconnected() {
  setWindowTitle(m_strTitle + torv2::ui::kTitleDisconnected);
  ui_->IDOK->setEnabled(false);
}

void CZARN_TORV2_UpgraderDlg::OnBnClickedUpdate() {
  // One job at a time, even if a late "enable" from the previous job reached the button.
  if (closing_ || upgrader_->Busy()) return;
  upgrader_->OnBnClickedUpdate();
}

void CZARN_TORV2_UpgraderDlg::OnDeviceChange(DeviceEvent event) {
  if (closing_) return;
  if (handlingDeviceChange_) {
    pendingDeviceEvents_.push_back(event);
    return;
  }
  handlingDeviceChange_ = true;
  HandleDeviceChange(event);
  while (!pendingDeviceEvents_.empty() && !closing_) {
    const DeviceEvent next = pendingDeviceEvents_.front();
    pendingDeviceEvents_.pop_front();
    HandleDeviceChange(next);
  }
  handlingDeviceChange_ = false;
}

void CZARN_TORV2_UpgraderDlg::HandleDeviceChange(DeviceEvent event) {
  if (event == DeviceEvent::Removal) {
    // Whatever the window showed, the device is gone. A running job is left to fail on its own
    // and clears the busy state itself, so no second job can start beside it.
    ++removals_;
    ShowUsbDisconnected();
    upgrader_->SetDeviceUsable(false);
    ui_->m_staticCurrentVersion->setText(kUnknown);
    return;
  }
  // An arrival reads the device's version, once the link is free: now, or when the running job
  // has let go of it (then on the job's thread).
  const unsigned removalsSeen = removals_;
  upgrader_->RunWhenLinkFree([this, removalsSeen] {
    if (removals_ != removalsSeen) return;  // the device went again meanwhile
    const int usable = upgrader_->ReadDeviceVersion();
    host_->RunOnGuiThread([this, usable, removalsSeen] {
      if (removals_ != removalsSeen) return;
      upgrader_->SetDeviceUsable(usable != 0);
      if (usable) ShowUsbConnected();
    });
  });
}

bool CZARN_TORV2_UpgraderDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || (widget != this && !isAncestorOf(widget))) return false;
  // No key reaches this window or its controls: Enter, Escape and Tab do nothing. Space alone
  // acts, as a click of Update (even while the button is disabled) when no job runs.
  if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space && !upgrader_->Busy()) {
    OnBnClickedUpdate();
  }
  return true;
}

void CZARN_TORV2_UpgraderDlg::closeEvent(QCloseEvent* event) {
  OnClose();
  event->accept();
}

void CZARN_TORV2_UpgraderDlg::OnClose() {
  if (closing_) return;
  closing_ = true;
  host_->Close();
  notification_.reset();
  queue_.Close();
  if (openModal_) openModal_->done(QDialog::Rejected);
  upgrader_->Shutdown();
  QDialog::done(QDialog::Accepted);
}

void CZARN_TORV2_UpgraderDlg::ShowMessageBox(const QString& text, const QString& caption) {
  QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  openModal_ = &box;
  box.exec();
  openModal_ = nullptr;
}

void CZARN_TORV2_UpgraderDlg::RunResultDialog(const torv2::upgrade::UpgradeReport& report) {
  openModal_ = m_pResultDlg.get();
  m_pResultDlg->DoModal(report);
  openModal_ = nullptr;
}

void CZARN_TORV2_UpgraderDlg::SetUpdateButtonEnabled(bool enabled) {
  ui_->IDOK->setEnabled(enabled);
}

void CZARN_TORV2_UpgraderDlg::SetCurrentVersionText(const QString& text) {
  ui_->m_staticCurrentVersion->setText(text);
}

void CZARN_TORV2_UpgraderDlg::EndMainDialog() {
  QDialog::done(QDialog::Accepted);
}

CTextProgressCtrl* CZARN_TORV2_UpgraderDlg::progressBar() const {
  return ui_->m_progress;
}
QPushButton* CZARN_TORV2_UpgraderDlg::updateButton() const {
  return ui_->IDOK;
}
QLabel* CZARN_TORV2_UpgraderDlg::upgradeVersionLabel() const {
  return ui_->m_staticUpgradeVersion;
}
QLabel* CZARN_TORV2_UpgraderDlg::currentVersionLabel() const {
  return ui_->m_staticCurrentVersion;
}
