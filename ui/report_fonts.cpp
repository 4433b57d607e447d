#include "ui/report_fonts.h"

#include <QFontMetrics>

#include "window/appearance.h"

namespace torv2::ui {
namespace {

template <class Faces>
QStringList Families(const Faces& faces) {
  QStringList families;
  for (std::string_view face : faces) {
    families.push_back(QString::fromUtf8(face.data(), static_cast<qsizetype>(face.size())));
  }
  return families;
}

}  // namespace

QStringList ReportFontFamilies() {
  return Families(window::kReportFontFaces);
}

QStringList TableFontFamilies() {
  return Families(window::kTableFontFaces);
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
  return BoldFontWithCellHeight(ReportFontFamilies(), window::kReportFontCellHeight);
}

QFont TableFont() {
  return BoldFontWithCellHeight(TableFontFamilies(), window::kTableFontCellHeight);
}

}  // namespace torv2::ui
