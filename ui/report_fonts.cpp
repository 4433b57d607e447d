#include "ui/report_fonts.h"

#include <QFontMetrics>

namespace torv2::ui {

QStringList ReportFontFamilies() {
  return {QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans")};
}

QStringList TableFontFamilies() {
  // Measured at a 12-pixel cell in bold: each of these draws the box-drawing characters, the
  // full-width forms and the ideographic space at one common width.
  return {QStringLiteral("Gulim"), QStringLiteral("\uAD74\uB9BC"),  // 굴림
          QStringLiteral("Baekmuk Gulim"), QStringLiteral("NanumGothicCoding"),
          QStringLiteral("Noto Sans Mono CJK KR")};
}

QFont BoldFontWithCellHeight(const QStringList& families, int cellHeight) {
  QFont font;
  font.setFamilies(families);
  font.setWeight(QFont::Bold);
  int pixels = cellHeight;
  for (; pixels > 1; --pixels) {
    font.setPixelSize(pixels);
    if (QFontMetrics(font).height() <= cellHeight) break;
  }
  font.setPixelSize(pixels);
  return font;
}

QFont ReportFont() {
  return BoldFontWithCellHeight(ReportFontFamilies(), kReportFontCellHeight);
}

QFont TableFont() {
  return BoldFontWithCellHeight(TableFontFamilies(), kTableFontCellHeight);
}

}  // namespace torv2::ui
