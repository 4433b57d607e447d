// The result dialog, and the two window layouts.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "emulator/inprocess_transport.h"
#include "tests/ui/qt_test_support.h"
#include "ui/report_fonts.h"
#include "ui/upgrade_result_dlg.h"
#include "ui/upgrader_dlg.h"
#include "upgrade/upgrade_report.h"

namespace torv2::ui {
namespace {

upgrade::UpgradeReport CompletedReport(bool subSocketError, upgrade::SubSocketStatus sockets) {
  upgrade::UpgradeReport report;
  upgrade::ComposeUpgradeReport(report, true, true, sockets, subSocketError);
  report.upgradeVersion = "Upgrade Version : 2.08";
  report.currentVersion = "Current Version : 2.08";
  return report;
}

constexpr upgrade::SubSocketStatus kAllUpgraded{'U', 'U', 'U', 'U', 'U', 'U', 'U', 'U'};
constexpr upgrade::SubSocketStatus kSomeBad{'U', 'E', 'U', 'U', 'U', 'U', 'N', 'U'};

using testing::Screenshot;

class ResultDialog : public ::testing::Test {
 protected:
  QWidget owner_;
  CUpgradeResultDlg dlg_{&owner_};
};

TEST_F(ResultDialog, ShowsTheFiveLines) {
  dlg_.OnInitDialog(CompletedReport(false, kSomeBad));
  EXPECT_EQ(dlg_.MainLine()->text(), "Torv2 Main Execute - Upgrade OK");
  EXPECT_EQ(dlg_.SubLine()->text(), "Torv2 Sub Execute - Upgrade OK");
  const QString table = dlg_.SocketTable()->text();
  EXPECT_TRUE(table.startsWith("┌─────────┬")) << table.toStdString();
  EXPECT_TRUE(table.contains("│ＳＵＢ１（ＯＫ）　│ＳＵＢ２（ＢＡＤ）│")) << table.toStdString();
  EXPECT_FALSE(table.contains('\r'));  // CR LF shows as one line break
  EXPECT_EQ(table.count('\n'), 5);
  EXPECT_EQ(dlg_.UpgradeLine()->text(), "Upgrade Version : 2.08");
  EXPECT_EQ(dlg_.CurrentLine()->text(), "Current Version : 2.08");
  dlg_.show();
  Screenshot(dlg_, "result_dialog");
  dlg_.accept();
}

TEST_F(ResultDialog, AllSocketsFailedShowsThatTextAndAnEmptySubLine) {
  dlg_.OnInitDialog(CompletedReport(true, kAllUpgraded));
  EXPECT_EQ(dlg_.SubLine()->text(), "");  // never the layout's placeholder
  EXPECT_EQ(dlg_.SocketTable()->text(), "\n             All Sub Socket Error!\n");
}

TEST_F(ResultDialog, ReportLinesInBoldAtTheirCellHeights) {
  dlg_.OnInitDialog(CompletedReport(false, kAllUpgraded));
  for (QLabel* line : {dlg_.MainLine(), dlg_.SubLine(), dlg_.UpgradeLine(), dlg_.CurrentLine()}) {
    EXPECT_TRUE(line->font().bold());
    EXPECT_LE(QFontMetrics(line->font()).height(), 16);
    EXPECT_GE(QFontMetrics(line->font()).height(), 16 - 2);
  }
  const QFont table = dlg_.SocketTable()->font();
  EXPECT_TRUE(table.bold());
  EXPECT_LE(QFontMetrics(table).height(), 12);
}

TEST_F(ResultDialog, TheSocketTableColumnsLineUp) {
  // Every character of the table, box drawing, full-width letters and ideographic spaces alike,
  // must take the same width in the face the dialog found, or the columns drift apart.
  dlg_.OnInitDialog(CompletedReport(false, kSomeBad));
  const QFontMetrics metrics(dlg_.SocketTable()->font());
  const QString table = dlg_.SocketTable()->text();
  const int cell = metrics.horizontalAdvance(table.at(0));
  EXPECT_GT(cell, 0);
  for (const QChar c : table) {
    if (c == '\n') continue;
    ASSERT_TRUE(metrics.inFont(c)) << "U+" << std::hex << int{c.unicode()} << " missing in "
                                   << QFontInfo(dlg_.SocketTable()->font()).family().toStdString();
    ASSERT_EQ(metrics.horizontalAdvance(c), cell) << "U+" << std::hex << int{c.unicode()};
  }
  // And the table fits its control.
  EXPECT_LE(
      metrics.boundingRect(QRect(0, 0, 10000, 10000), Qt::AlignLeft | Qt::AlignTop, table).height(),
      dlg_.SocketTable()->height());
  EXPECT_LE(metrics.horizontalAdvance(QString(47, QChar(0x3000))), dlg_.SocketTable()->width());
}

enum class CloseBy { OkButton, Enter, Escape, CloseBox };

class ResultDialogClosedBy : public ResultDialog, public ::testing::WithParamInterface<CloseBy> {};

TEST_P(ResultDialogClosedBy, Closes) {
  dlg_.OnInitDialog(CompletedReport(false, kAllUpgraded));
  dlg_.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg_));
  QSignalSpy finished(&dlg_, &QDialog::finished);
  auto* ok = dlg_.findChild<QPushButton*>("IDOK");
  ASSERT_NE(ok, nullptr);
  switch (GetParam()) {
    case CloseBy::OkButton:
      QTest::mouseClick(ok, Qt::LeftButton);
      break;
    case CloseBy::Enter:
      QTest::keyClick(&dlg_, Qt::Key_Return);
      break;
    case CloseBy::Escape:
      QTest::keyClick(&dlg_, Qt::Key_Escape);
      break;
    case CloseBy::CloseBox:
      dlg_.close();
      break;
  }
  EXPECT_EQ(finished.count(), 1);
  EXPECT_FALSE(dlg_.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Ways, ResultDialogClosedBy,
                         ::testing::Values(CloseBy::OkButton, CloseBy::Enter, CloseBy::Escape,
                                           CloseBy::CloseBox));

// Every text the layouts give a control fits inside it in the font the dialog uses.
void ExpectTextsFit(QWidget& dialog) {
  for (QLabel* label : dialog.findChildren<QLabel*>()) {
    const QFontMetrics m(label->font());
    EXPECT_LE(m.horizontalAdvance(label->text()), label->width())
        << label->objectName().toStdString() << ": " << label->text().toStdString();
    EXPECT_LE(m.height(), label->height()) << label->objectName().toStdString();
  }
  for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
    EXPECT_LE(QFontMetrics(button->font()).horizontalAdvance(button->text()) + 8, button->width());
  }
  for (QGroupBox* group : dialog.findChildren<QGroupBox*>()) {
    EXPECT_LE(QFontMetrics(group->font()).horizontalAdvance(group->title()) + 16, group->width());
  }
}

TEST(Layouts, ResultDialogMatchesItsTemplate) {
  QWidget owner;
  CUpgradeResultDlg dlg(&owner);
  EXPECT_EQ(dlg.windowTitle(), "Result of Firmware Upgrade");
  EXPECT_EQ(dlg.size(), QSize(718, 315));  // 410 × 194 dialog units
  for (QLabel* line : dlg.findChildren<QLabel*>()) EXPECT_EQ(line->text(), "Static");
  auto* group = dlg.findChild<QGroupBox*>();
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->title(), "< Result of Sub Firmware Upgrade >");
  EXPECT_EQ(group->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
  auto* ok = dlg.findChild<QPushButton*>("IDOK");
  ASSERT_NE(ok, nullptr);
  EXPECT_TRUE(ok->isDefault());
  ExpectTextsFit(dlg);
}

TEST(Layouts, MainWindowMatchesItsTemplate) {
  emulator::InProcessTransport device;
  CZARN_TORV2_UpgraderDlg dlg(device);
  EXPECT_EQ(dlg.windowTitle(), "ZARN TORV II Upgrader");
  EXPECT_EQ(dlg.size(), QSize(345, 131));  // 197 × 75 dialog units
  EXPECT_EQ(dlg.updateButton()->text(), "Update");
  EXPECT_FALSE(dlg.updateButton()->isEnabled());
  EXPECT_EQ(dlg.upgradeVersionLabel()->text(), "Unknown");
  EXPECT_EQ(dlg.currentVersionLabel()->text(), "Unknown");
  EXPECT_EQ(dlg.upgradeVersionLabel()->property("controlId").toInt(), 1004);
  EXPECT_EQ(dlg.currentVersionLabel()->property("controlId").toInt(), 1005);
  EXPECT_EQ(dlg.findChild<QGroupBox*>()->title(), "Upgrade Infomation");
  // Only the button takes the focus.
  int focusable = 0;
  for (QWidget* w : dlg.findChildren<QWidget*>())
    focusable += w->focusPolicy() & Qt::TabFocus ? 1 : 0;
  EXPECT_EQ(focusable, 1);
  ExpectTextsFit(dlg);
}

}  // namespace
}  // namespace torv2::ui
