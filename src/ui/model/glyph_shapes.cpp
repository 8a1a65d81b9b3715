#include "ui/model/glyph_shapes.h"

namespace vr::ui {
namespace {

constexpr Rgb kBlack{0, 0, 0}, kWhite{255, 255, 255}, kGreen{0, 128, 0}, kRed{192, 0, 0},
    kNavy{0, 0, 128}, kGrey{128, 128, 128};

GlyphShape Line(std::vector<GlyphPoint> points, Rgb color, double width, bool round) {
  GlyphShape s;
  s.kind = GlyphShape::kPolyline;
  s.points = std::move(points);
  s.penColor = color;
  s.penWidth = width;
  s.roundCap = round;
  return s;
}

GlyphShape Filled(GlyphShape::Kind kind, std::vector<GlyphPoint> points, Rgb fill,
                  bool outline = true, Rgb pen = kBlack) {
  GlyphShape s;
  s.kind = kind;
  s.points = std::move(points);
  s.pen = outline;
  s.penColor = pen;
  s.brush = true;
  s.brushColor = fill;
  return s;
}

// A filled arrow head at tip pointing along dir (a unit-ish vector).
GlyphShape ArrowHead(GlyphPoint tip, GlyphPoint dir, Rgb color) {
  const GlyphPoint normal{-dir.y, dir.x};
  return Filled(GlyphShape::kPolygon,
                {tip,
                 {tip.x - dir.x * 4 + normal.x * 3, tip.y - dir.y * 4 + normal.y * 3},
                 {tip.x - dir.x * 4 - normal.x * 3, tip.y - dir.y * 4 - normal.y * 3}},
                color, false);
}

std::vector<GlyphPoint> Arrow(bool left) {
  const double tip = left ? 1 : 15, tail = left ? 15 : 1;
  return {{tip, 8}, {8, 2}, {8, 5.5}, {tail, 5.5}, {tail, 10.5}, {8, 10.5}, {8, 14}};
}

}  // namespace

GlyphPicture GlyphShapes(Glyph glyph) {
  GlyphPicture p;
  p.size = 18;
  auto& s = p.shapes;
  switch (glyph) {
    case Glyph::kCheck:
      s.push_back(Line({{3, 9.5}, {7, 13.5}, {15, 4.5}}, kGreen, 3, true));
      break;
    case Glyph::kCross:
      s.push_back(Line({{4, 4}, {14, 14}}, kRed, 3, true));
      s.push_back(Line({{14, 4}, {4, 14}}, kRed, 3, true));
      break;
    case Glyph::kTableWindow:
      p.size = 16;
      s.push_back(Filled(GlyphShape::kRect, {{1.5, 2.5}, {13, 11}}, kWhite));
      s.push_back(Filled(GlyphShape::kRect, {{2, 3}, {12, 3}}, kNavy, false));
      for (double y : {8.5, 10.5}) s.push_back(Line({{2, y}, {14, y}}, kGrey, 1, false));
      for (double x : {6.5, 10.5}) s.push_back(Line({{x, 6}, {x, 13}}, kGrey, 1, false));
      break;
    case Glyph::kCirclingArrows: {
      for (double start : {30.0, 210.0}) {
        GlyphShape arc = Line({{3.5, 3.5}, {11, 11}}, kGreen, 2, false);
        arc.kind = GlyphShape::kArc;
        arc.start = start;
        arc.span = 130;
        s.push_back(arc);
      }
      s.push_back(ArrowHead({4.5, 6.5}, {-0.2, 1}, kGreen));
      s.push_back(ArrowHead({13.5, 11.5}, {0.2, -1}, kGreen));
      break;
    }
    case Glyph::kDoor:
      s.push_back(Filled(GlyphShape::kRect, {{4.5, 1.5}, {10, 15}}, kGrey));
      s.push_back(Filled(GlyphShape::kPolygon, {{4.5, 1.5}, {10.5, 3.5}, {10.5, 16.5}, {4.5, 16.5}},
                         {160, 96, 32}));
      s.push_back(Filled(GlyphShape::kEllipse, {{9, 10}, {0.8, 0.8}}, {255, 215, 0}));
      break;
    case Glyph::kOpenSheet:
      p.size = 16;
      s.push_back(Filled(GlyphShape::kPolygon,
                         {{2.5, 4.5}, {8.5, 4.5}, {11.5, 7.5}, {11.5, 15.5}, {2.5, 15.5}}, kWhite));
      for (auto ray : {std::vector<GlyphPoint>{{12, 4}, {15, 1}},
                       std::vector<GlyphPoint>{{12.5, 6}, {15.5, 6}},
                       std::vector<GlyphPoint>{{10, 3}, {10, 0}}})
        s.push_back(Line(ray, {230, 160, 0}, 1, false));
      break;
    case Glyph::kFloppy:
      p.size = 16;
      s.push_back(Filled(GlyphShape::kRect, {{1.5, 1.5}, {13, 13}}, kNavy));
      s.push_back(Filled(GlyphShape::kRect, {{4.5, 1.5}, {7, 5}}, kWhite));
      s.push_back(Filled(GlyphShape::kRect, {{3.5, 9.5}, {9, 5}}, {192, 192, 192}));
      break;
    case Glyph::kArrowLeft:
    case Glyph::kArrowRight:
      p.size = 16;
      s.push_back(Filled(GlyphShape::kPolygon, Arrow(glyph == Glyph::kArrowLeft), {255, 0, 0}, true,
                         {128, 0, 0}));
      break;
  }
  return p;
}

}  // namespace vr::ui
