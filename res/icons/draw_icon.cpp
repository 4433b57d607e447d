// Draws the upgrader's icon at every size it is installed in:
//   draw_icon <output folder>    writes torv2-upgrader-<N>.png for N = 16, 24, 32, 48, 64, 128, 256
// A dark blue tile, a chip with pins on two sides, and a green arrow pointing up into it: new
// firmware going into the programmer. Built on demand (target torv2_draw_icon); the PNGs it
// wrote are kept beside it.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

QImage Draw(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 256.0, size / 256.0);  // drawn on a 256-unit square

  // Tile.
  QLinearGradient tile(0, 0, 0, 256);
  tile.setColorAt(0, QColor(0x1c, 0x2f, 0xb8));
  tile.setColorAt(1, QColor(0x00, 0x00, 0x73));
  p.setPen(Qt::NoPen);
  p.setBrush(tile);
  p.drawRoundedRect(QRectF(8, 8, 240, 240), 44, 44);

  // Chip with four pins on each side.
  const QColor pin(0xd8, 0xdc, 0xe6);
  p.setBrush(pin);
  for (int i = 0; i < 4; ++i) {
    const double y = 92 + i * 30;
    p.drawRect(QRectF(46, y, 26, 14));
    p.drawRect(QRectF(184, y, 26, 14));
  }
  p.setBrush(QColor(0x23, 0x25, 0x2b));
  p.drawRoundedRect(QRectF(68, 78, 120, 146), 10, 10);
  p.setBrush(QColor(0x3b, 0x3e, 0x47));
  p.drawEllipse(QPointF(88, 98), 8, 8);

  // Arrow up.
  QPainterPath arrow;
  arrow.moveTo(128, 30);
  arrow.lineTo(178, 94);
  arrow.lineTo(146, 94);
  arrow.lineTo(146, 190);
  arrow.lineTo(110, 190);
  arrow.lineTo(110, 94);
  arrow.lineTo(78, 94);
  arrow.closeSubpath();
  p.setBrush(QColor(0x35, 0xd0, 0x5a));
  p.setPen(QPen(QColor(0x0b, 0x5d, 0x22), 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(arrow);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw_icon <output folder>\n");
    return 64;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    const QString file = out.filePath(QStringLiteral("torv2-upgrader-%1.png").arg(size));
    if (!Draw(size).save(file)) {
      std::fprintf(stderr, "draw_icon: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}
