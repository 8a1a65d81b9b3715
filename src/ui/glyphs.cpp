#include "ui/glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace vr::ui {
namespace {

const QColor kGreen(0, 128, 0);
const QColor kRed(192, 0, 0);
const QColor kNavy(0, 0, 128);

QPixmap Canvas(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

void DrawCheck(QPainter& p) {
  p.setPen(QPen(kGreen, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPolyline(QPolygonF({QPointF(3, 9.5), QPointF(7, 13.5), QPointF(15, 4.5)}));
}

void DrawCross(QPainter& p) {
  p.setPen(QPen(kRed, 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(4, 4), QPointF(14, 14));
  p.drawLine(QPointF(14, 4), QPointF(4, 14));
}

void DrawTableWindow(QPainter& p) {
  p.setPen(Qt::black);
  p.setBrush(Qt::white);
  p.drawRect(QRectF(1.5, 2.5, 13, 11));
  p.fillRect(QRectF(2, 3, 12, 3), kNavy);
  p.setPen(QColor(128, 128, 128));
  for (double y : {8.5, 10.5}) p.drawLine(QPointF(2, y), QPointF(14, y));
  for (double x : {6.5, 10.5}) p.drawLine(QPointF(x, 6), QPointF(x, 13));
}

void DrawArrowHead(QPainter& p, QPointF tip, QPointF dir) {
  QPointF normal(-dir.y(), dir.x());
  QPainterPath head;
  head.moveTo(tip);
  head.lineTo(tip - dir * 4 + normal * 3);
  head.lineTo(tip - dir * 4 - normal * 3);
  head.closeSubpath();
  p.fillPath(head, p.pen().color());
}

void DrawCirclingArrows(QPainter& p) {
  p.setPen(QPen(kGreen, 2));
  p.setBrush(Qt::NoBrush);
  const QRectF ring(3.5, 3.5, 11, 11);
  p.drawArc(ring, 30 * 16, 130 * 16);
  p.drawArc(ring, 210 * 16, 130 * 16);
  DrawArrowHead(p, QPointF(4.5, 6.5), QPointF(-0.2, 1));
  DrawArrowHead(p, QPointF(13.5, 11.5), QPointF(0.2, -1));
}

void DrawDoor(QPainter& p) {
  p.setPen(Qt::black);
  p.setBrush(QColor(128, 128, 128));
  p.drawRect(QRectF(4.5, 1.5, 10, 15));  // frame
  p.setBrush(QColor(160, 96, 32));
  QPolygonF leaf({QPointF(4.5, 1.5), QPointF(10.5, 3.5), QPointF(10.5, 16.5), QPointF(4.5, 16.5)});
  p.drawPolygon(leaf);
  p.setBrush(QColor(255, 215, 0));
  p.drawEllipse(QPointF(9, 10), 0.8, 0.8);
}

void DrawOpenSheet(QPainter& p) {
  p.setPen(Qt::black);
  p.setBrush(Qt::white);
  QPolygonF sheet({QPointF(2.5, 4.5), QPointF(8.5, 4.5), QPointF(11.5, 7.5), QPointF(11.5, 15.5),
                   QPointF(2.5, 15.5)});
  p.drawPolygon(sheet);
  p.setPen(QPen(QColor(230, 160, 0), 1));
  p.drawLine(QPointF(12, 4), QPointF(15, 1));
  p.drawLine(QPointF(12.5, 6), QPointF(15.5, 6));
  p.drawLine(QPointF(10, 3), QPointF(10, 0));
}

void DrawFloppy(QPainter& p) {
  p.setPen(Qt::black);
  p.setBrush(kNavy);
  p.drawRect(QRectF(1.5, 1.5, 13, 13));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(4.5, 1.5, 7, 5));
  p.setBrush(QColor(192, 192, 192));
  p.drawRect(QRectF(3.5, 9.5, 9, 5));
}

void DrawArrow(QPainter& p, bool left) {
  QPainterPath arrow;
  if (left) {
    arrow.moveTo(1, 8);
    arrow.lineTo(8, 2);
    arrow.lineTo(8, 5.5);
    arrow.lineTo(15, 5.5);
    arrow.lineTo(15, 10.5);
    arrow.lineTo(8, 10.5);
    arrow.lineTo(8, 14);
  } else {
    arrow.moveTo(15, 8);
    arrow.lineTo(8, 2);
    arrow.lineTo(8, 5.5);
    arrow.lineTo(1, 5.5);
    arrow.lineTo(1, 10.5);
    arrow.lineTo(8, 10.5);
    arrow.lineTo(8, 14);
  }
  arrow.closeSubpath();
  p.setPen(QPen(QColor(128, 0, 0), 1));
  p.setBrush(QColor(255, 0, 0));
  p.drawPath(arrow);
}

}  // namespace

QIcon GlyphIcon(Glyph glyph) {
  const bool small = glyph == Glyph::kTableWindow || glyph == Glyph::kOpenSheet ||
                     glyph == Glyph::kFloppy || glyph == Glyph::kArrowLeft ||
                     glyph == Glyph::kArrowRight;
  QPixmap pixmap = Canvas(small ? 16 : 18);
  {
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (glyph) {
      case Glyph::kCheck:
        DrawCheck(p);
        break;
      case Glyph::kCross:
        DrawCross(p);
        break;
      case Glyph::kTableWindow:
        DrawTableWindow(p);
        break;
      case Glyph::kCirclingArrows:
        DrawCirclingArrows(p);
        break;
      case Glyph::kDoor:
        DrawDoor(p);
        break;
      case Glyph::kOpenSheet:
        DrawOpenSheet(p);
        break;
      case Glyph::kFloppy:
        DrawFloppy(p);
        break;
      case Glyph::kArrowLeft:
        DrawArrow(p, true);
        break;
      case Glyph::kArrowRight:
        DrawArrow(p, false);
        break;
    }
  }
  return QIcon(pixmap);
}

}  // namespace vr::ui
