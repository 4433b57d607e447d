#pragma once
// The result dialog: the five lines of the report of a completed upgrade — the main image, the
// sub image, the table of the eight sub sockets (in the table font) and the two versions. OK,
// Enter, Escape or the close box close it.

#include <QDialog>
#include <QFont>
#include <memory>

#include "upgrade/upgrade_report.h"

class QLabel;
namespace Ui {
class CUpgradeResultDlg;
}

class CUpgradeResultDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CUpgradeResultDlg(QWidget* parent);
  ~CUpgradeResultDlg() override;

  // Gives the lines their fonts and texts; the texts are read once, here.
  void OnInitDialog(const torv2::upgrade::UpgradeReport& report);
  // OnInitDialog, then runs the dialog modally until it is closed.
  int DoModal(const torv2::upgrade::UpgradeReport& report);

  QLabel* MainLine() const;
  QLabel* SubLine() const;
  QLabel* SocketTable() const;
  QLabel* UpgradeLine() const;
  QLabel* CurrentLine() const;

 private:
  std::unique_ptr<Ui::CUpgradeResultDlg> ui_;
  QFont m_reportFont;
  QFont m_tableFont;
};

namespace torv2::ui {
// A report line (UTF-8) as the dialog shows it.
QString ReportLineText(const std::string& line);
}  // namespace torv2::ui
