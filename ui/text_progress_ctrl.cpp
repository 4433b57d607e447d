#include "ui/text_progress_ctrl.h"

#include <QPainter>
#include <QPalette>

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent) : QFrame(parent) {
  const QPalette& p = palette();
  m_colBar = p.color(QPalette::Highlight);
  m_colBk = p.color(QPalette::Button);
  m_colTextOnBk = p.color(QPalette::Highlight);
  m_colTextOnBar = p.color(QPalette::Base);
  setAttribute(Qt::WA_OpaquePaintEvent);  // every paint covers the whole bar
}

int CTextProgressCtrl::SetPos(int position) {
  const int previous = m_state.Pos();
  if (m_state.SetPos(position, contentsRect().width())) repaint();
  return previous;
}

void CTextProgressCtrl::SetText(std::string_view label, bool show) {
  if (m_state.SetText(label, show)) update();
}

QString CTextProgressCtrl::DisplayText() const {
  return QString::fromStdString(m_state.DisplayText());
}

void CTextProgressCtrl::paintEvent(QPaintEvent*) {
  ++m_nPaintCount;
  QPainter painter(this);
  drawFrame(&painter);
  const QRect client = contentsRect();
  if (!m_state.HasRange()) {
    // No range to show: an empty bar.
    painter.fillRect(client, m_colBk);
    if (onPaint) onPaint(0, QString());
    return;
  }
  const int filled = m_state.FilledWidth(client.width());
  const QRect barRect(client.left(), client.top(), filled, client.height());
  const QRect restRect(client.left() + filled, client.top(), client.width() - filled,
                       client.height());
  painter.fillRect(barRect, m_colBar);
  painter.fillRect(restRect, m_colBk);
  if (onPaint) onPaint(filled, DisplayText());
  if (!m_state.ShowsText()) return;

  // The same text twice, each pass clipped to one part, so characters change colour exactly at
  // the edge of the filled part.
  const QString text = DisplayText();
  const int flags = Qt::AlignCenter | Qt::TextSingleLine;
  painter.setClipRect(barRect);
  painter.setPen(m_colTextOnBar);
  painter.drawText(client, flags, text);
  painter.setClipRect(restRect);
  painter.setPen(m_colTextOnBk);
  painter.drawText(client, flags, text);
}

void CTextProgressCtrl::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  m_state.Resized();
}
