#pragma once
// The main window's progress bar: a filled part that follows the position, the rest in a
// background colour, and, while text display is on, the label and the percentage centred over
// the whole bar, in one colour over the filled part and another over the rest.
//
// It lives on the GUI thread; the job reaches it through a ProgressRelay. Qt's backing store
// collects each paint off-screen and puts it on the screen in one step, so the bar does not
// flicker.

#include <QColor>
#include <QFrame>
#include <QString>

namespace torv2::ui {

// Width in pixels of the filled part of a bar `width` pixels wide: width × f truncated, where f
// is (position − lower) ÷ (upper − lower) in double precision. Positions outside the range draw
// as an empty or a full bar.
int FilledWidth(int width, int position, int lower, int upper);

// The bar's text: the label, " - ", the percentage right-aligned in three characters, "%". The
// percentage is f × 100.0 truncated, in double precision, so positions 29, 57 and 58 of 0..100
// read 28, 56 and 57, as they always have on this device's upgrader.
QString ProgressText(const QString& label, int position, int lower, int upper);

}  // namespace torv2::ui

// The bar's client area is its contents rectangle: a frame (the layout gives it a one-pixel box)
// lies outside it.
class CTextProgressCtrl : public QFrame {
  Q_OBJECT

 public:
  explicit CTextProgressCtrl(QWidget* parent = nullptr);

  // Stores the position; redraws at once when the filled width changes by a pixel or more.
  // Returns the previous position.
  int SetPos(int position);
  // Stores the label and the show flag; repaints later only when the show flag changes.
  void SetText(const QString& label, bool show);
  void SetRange(int lower, int upper);  // no redraw
  void SetStep(int step);               // stored only; nothing steps the bar

  int GetPos() const { return m_nPos; }
  int GetStep() const { return m_nStepSize; }
  int GetRangeLower() const { return m_nMin; }
  int GetRangeUpper() const { return m_nMax; }
  bool ShowsText() const { return m_bShowText; }
  QString Label() const { return m_strText; }
  // What the bar shows as text right now (empty while text display is off).
  QString DisplayText() const;
  // How often the bar was painted; for tests that count redraws.
  int PaintCount() const { return m_nPaintCount; }

  // Read at each paint; the main window sets the first two while it initialises.
  QColor m_colBar;
  QColor m_colBk;
  QColor m_colTextOnBk;
  QColor m_colTextOnBar;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  int m_nPos = 0;
  int m_nStepSize = 1;
  int m_nMax = 100;
  int m_nMin = 0;
  bool m_bShowText = false;
  int m_nBarWidth = -1;  // filled width at the last redraw that SetPos caused; −1: compute again
  QString m_strText;
  int m_nPaintCount = 0;
};
