#pragma once
// The main window's progress bar: a filled part that follows the position, the rest in a
// background colour, and, while text display is on, the label and the percentage centred over
// the whole bar, in one colour over the filled part and another over the rest.
//
// It lives on the GUI thread; the job reaches it through the window's progress relay. Qt's
// backing store collects each paint off-screen and puts it on the screen in one step, so the bar
// does not flicker. The text is drawn in the control's font, the dialog's.

#include <QColor>
#include <QFrame>
#include <QString>
#include <functional>

#include "link/progress_sink.h"
#include "window/progress_bar_state.h"

// The bar's client area is its contents rectangle: a frame (the layout gives it a one-pixel box)
// lies outside it.
class CTextProgressCtrl : public QFrame, public torv2::link::ProgressSink {
  Q_OBJECT

 public:
  explicit CTextProgressCtrl(QWidget* parent = nullptr);

  // The job's progress sink, on the GUI thread.
  void SetPercent(int percent) override { SetPos(percent); }
  void SetLabel(std::string_view label, bool show) override { SetText(label, show); }

  // The bar as a progress control; the rules are window::ProgressBarState's. SetPos returns the
  // previous position.
  int SetPos(int position);
  void SetText(std::string_view label, bool show);
  void SetRange(int lower, int upper) { m_state.SetRange(lower, upper); }
  void SetStep(int step) { m_nStepSize = step; }  // stored only; nothing steps the bar

  int GetPos() const { return m_state.Pos(); }
  QString Label() const { return QString::fromStdString(m_state.Label()); }
  // What the bar shows as text right now (empty while text display is off).
  QString DisplayText() const;
  // How often the bar was painted; for tests that count redraws.
  int PaintCount() const { return m_nPaintCount; }
  // Told of every paint: the filled width and the text drawn (empty while text display is off).
  std::function<void(int filled, const QString& text)> onPaint;

  // Read at each paint; the main window sets the first two while it initialises.
  QColor m_colBar;
  QColor m_colBk;
  QColor m_colTextOnBk;
  QColor m_colTextOnBar;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  torv2::window::ProgressBarState m_state;
  int m_nPaintCount = 0;
  int m_nStepSize = 1;
};
