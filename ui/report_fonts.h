#pragma once
// The two fonts of the result dialog. Each is asked for by its character cell height (ascent plus
// descent, in pixels) and weight, with the faces the report was laid out for first and the
// nearest installed faces after them: the report font is a Verdana-like sans, the table font a
// Korean face whose box-drawing characters are as wide as its full-width forms, so that the
// socket table's columns line up.

#include <QFont>
#include <QStringList>

namespace torv2::ui {

inline constexpr int kReportFontCellHeight = 16;
inline constexpr int kTableFontCellHeight = 12;

QStringList ReportFontFamilies();  // "Verdana" first
QStringList TableFontFamilies();   // "굴림" (Gulim) first

// A bold font of the first installed face of `families`, at the largest pixel size whose
// character cell is at most `cellHeight` pixels high.
QFont BoldFontWithCellHeight(const QStringList& families, int cellHeight);

QFont ReportFont();
QFont TableFont();

}  // namespace torv2::ui
