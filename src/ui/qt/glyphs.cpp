#include "ui/qt/glyphs.h"

#include <QPainter>
#include <QPixmap>

namespace vr::ui {
namespace {

QColor Color(Rgb c) {
  return QColor(c.r, c.g, c.b);
}

QPolygonF Polygon(const std::vector<GlyphPoint>& points) {
  QPolygonF polygon;
  for (const GlyphPoint& p : points) polygon << QPointF(p.x, p.y);
  return polygon;
}

void Draw(QPainter& p, const GlyphShape& s) {
  if (s.pen)
    p.setPen(QPen(Color(s.penColor), s.penWidth, Qt::SolidLine,
                  s.roundCap ? Qt::RoundCap : Qt::SquareCap,
                  s.roundCap ? Qt::RoundJoin : Qt::BevelJoin));
  else
    p.setPen(Qt::NoPen);
  p.setBrush(s.brush ? QBrush(Color(s.brushColor)) : QBrush(Qt::NoBrush));
  const QPointF a(s.points[0].x, s.points[0].y);
  const QPointF b = s.points.size() > 1 ? QPointF(s.points[1].x, s.points[1].y) : QPointF();
  switch (s.kind) {
    case GlyphShape::kPolyline:
      p.drawPolyline(Polygon(s.points));
      break;
    case GlyphShape::kPolygon:
      p.drawPolygon(Polygon(s.points));
      break;
    case GlyphShape::kRect:
      p.drawRect(QRectF(a, QSizeF(b.x(), b.y())));
      break;
    case GlyphShape::kEllipse:
      p.drawEllipse(a, b.x(), b.y());
      break;
    case GlyphShape::kArc:
      p.drawArc(QRectF(a, QSizeF(b.x(), b.y())), static_cast<int>(s.start * 16),
                static_cast<int>(s.span * 16));
      break;
  }
}

}  // namespace

QIcon GlyphIcon(Glyph glyph) {
  const GlyphPicture picture = GlyphShapes(glyph);
  QPixmap pixmap(picture.size, picture.size);
  pixmap.fill(Qt::transparent);
  {
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    for (const GlyphShape& s : picture.shapes) Draw(p, s);
  }
  return QIcon(pixmap);
}

QPushButton* GlyphButton(QWidget* parent, const char* name, const QString& caption, Glyph glyph,
                         int x, int y, int w, int h) {
  const QIcon icon = GlyphIcon(glyph);
  auto* button = new QPushButton(icon, caption, parent);
  button->setIconSize(icon.availableSizes().value(0, button->iconSize()));
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(x, y, w, h);
  button->setAutoDefault(false);
  return button;
}

}  // namespace vr::ui
