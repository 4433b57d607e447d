#include "ui/upgrader_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>

#include "ui/app_icon.h"
#include "ui/text_progress_ctrl.h"
#include "ui/upgrade_result_dlg.h"
#include "ui_upgrader_dlg.h"
#include "window/appearance.h"

namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QColor ToQColor(torv2::window::Rgb c) {
  return QColor(c.red, c.green, c.blue);
}

}  // namespace

CZARN_TORV2_UpgraderDlg::CZARN_TORV2_UpgraderDlg(torv2::link::UsbTransport& transport,
                                                 torv2::window::WindowOptions options)
    : QDialog(nullptr), ui_(std::make_unique<Ui::CZARN_TORV2_UpgraderDlg>()) {
  ui_->setupUi(this);
  setFixedSize(size());
  torv2::window::WindowView& view = *this;
  controller_ = std::make_unique<torv2::window::WindowController>(view, queue_, transport,
                                                                  std::move(options));
  connect(ui_->IDOK, &QPushButton::clicked, this, &CZARN_TORV2_UpgraderDlg::OnBnClickedUpdate);
  qApp->installEventFilter(this);
}

CZARN_TORV2_UpgraderDlg::~CZARN_TORV2_UpgraderDlg() {
  qApp->removeEventFilter(this);
}

bool CZARN_TORV2_UpgraderDlg::OnInitDialog() {
  setWindowIcon(torv2::ui::AppIcon());
  ui_->m_progress->m_colBk = ToQColor(torv2::window::kBarBackground);
  ui_->m_progress->m_colBar = ToQColor(torv2::window::kBarColour);
  m_pResultDlg = std::make_unique<CUpgradeResultDlg>(this);
  // The template has no centring style: the window opens at the top left of the screen.
  move(0, 0);
  controller_->Start(windowTitle().toStdString());
  return true;
}

int CZARN_TORV2_UpgraderDlg::DoModal() {
  OnInitDialog();
  return exec();
}

void CZARN_TORV2_UpgraderDlg::OnBnClickedUpdate() {
  controller_->StartJob();
}

bool CZARN_TORV2_UpgraderDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || (widget != this && !isAncestorOf(widget))) return false;
  const auto* key = static_cast<QKeyEvent*>(event);
  if (key->modifiers() & Qt::AltModifier) return false;  // for the system menu
  return controller_->KeyDown(key->key() == Qt::Key_Space);
}

void CZARN_TORV2_UpgraderDlg::closeEvent(QCloseEvent* event) {
  OnClose();
  event->accept();
}

void CZARN_TORV2_UpgraderDlg::OnClose() {
  controller_->Close();
}

void CZARN_TORV2_UpgraderDlg::SetTitle(std::string_view title) {
  setWindowTitle(FromUtf8(title));
}

void CZARN_TORV2_UpgraderDlg::SetUpgradeVersionText(std::string_view text) {
  ui_->m_staticUpgradeVersion->setText(FromUtf8(text));
}

void CZARN_TORV2_UpgraderDlg::SetCurrentVersionText(std::string_view text) {
  ui_->m_staticCurrentVersion->setText(FromUtf8(text));
}

void CZARN_TORV2_UpgraderDlg::EnableUpdate(bool enabled) {
  ui_->IDOK->setEnabled(enabled);
}

void CZARN_TORV2_UpgraderDlg::ShowMessage(std::string_view text, std::string_view caption,
                                          torv2::window::MessageIcon icon,
                                          std::string_view details) {
  QMessageBox box(
      icon == torv2::window::MessageIcon::None ? QMessageBox::NoIcon : QMessageBox::Warning,
      FromUtf8(caption), FromUtf8(text), QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  // Why, and what to do, behind the box's "Show Details..." button.
  if (!details.empty()) box.setDetailedText(FromUtf8(details));
  box.exec();
}

void CZARN_TORV2_UpgraderDlg::ShowResult(const torv2::upgrade::UpgradeReport& report) {
  m_pResultDlg->DoModal(report);
}

void CZARN_TORV2_UpgraderDlg::End() {
  // The message boxes and the result dialog over this window end their loops as well.
  for (QWidget* modal : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(modal);
    if (dialog != nullptr && dialog != this && dialog->isVisible() && dialog->parent() == this) {
      dialog->done(QDialog::Rejected);
    }
  }
  QDialog::done(QDialog::Accepted);
}

torv2::link::ProgressSink& CZARN_TORV2_UpgraderDlg::ProgressBar() {
  return *ui_->m_progress;
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
