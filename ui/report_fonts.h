#pragma once
// The two fonts of the result dialog, each asked for by its character cell height (ascent plus
// descent, in pixels) and weight, with the faces of window/appearance.h in their order: the first
// one installed is used.

#include <QFont>
#include <QStringList>

namespace torv2::ui {

QStringList ReportFontFamilies();  // "Verdana" first
QStringList TableFontFamilies();   // "굴림" (Gulim) first

// A bold font of the first installed face of `families`, at the largest pixel size whose
// character cell is at most `cellHeight` pixels high.
QFont BoldFontWithCellHeight(const QStringList& families, int cellHeight);

QFont ReportFont();
QFont TableFont();

}  // namespace torv2::ui
