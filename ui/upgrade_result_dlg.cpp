#include "ui/upgrade_result_dlg.h"

#include "ui/report_fonts.h"
#include "ui_upgrade_result_dlg.h"

namespace torv2::ui {

QString ReportLineText(const std::string& line) {
  return QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
}

}  // namespace torv2::ui

CUpgradeResultDlg::CUpgradeResultDlg(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::CUpgradeResultDlg>()) {
  ui_->setupUi(this);
  setFixedSize(size());
}

CUpgradeResultDlg::~CUpgradeResultDlg() = default;

void CUpgradeResultDlg::OnInitDialog(const torv2::upgrade::UpgradeReport& report) {
  using torv2::ui::ReportLineText;
  m_reportFont = torv2::ui::ReportFont();
  for (QLabel* line : {MainLine(), SubLine(), UpgradeLine(), CurrentLine()}) {
    line->setFont(m_reportFont);
  }
  m_tableFont = torv2::ui::TableFont();
  SocketTable()->setFont(m_tableFont);

  MainLine()->setText(ReportLineText(report.mainResult));
  SubLine()->setText(ReportLineText(report.subResult));
  SocketTable()->setText(ReportLineText(report.socketTable));
  UpgradeLine()->setText(ReportLineText(report.upgradeVersion));
  CurrentLine()->setText(ReportLineText(report.currentVersion));
  ui_->IDOK->setFocus();
}

int CUpgradeResultDlg::DoModal(const torv2::upgrade::UpgradeReport& report) {
  OnInitDialog(report);
  return exec();
}

QLabel* CUpgradeResultDlg::MainLine() const {
  return ui_->m_staticMainLine;
}
QLabel* CUpgradeResultDlg::SubLine() const {
  return ui_->m_staticSubLine;
}
QLabel* CUpgradeResultDlg::SocketTable() const {
  return ui_->m_staticSocketTable;
}
QLabel* CUpgradeResultDlg::UpgradeLine() const {
  return ui_->m_staticUpgradeLine;
}
QLabel* CUpgradeResultDlg::CurrentLine() const {
  return ui_->m_staticCurrentLine;
}
