#pragma once
// The small pictures of the library's buttons as drawing commands, so that the
// Qt and the Win32 buttons show the same pictures. Coordinates are pixels of
// the picture (half-pixel positions put 1-pixel lines on pixel centres), the
// background is transparent.
#include <cstdint>
#include <vector>

namespace vr::ui {

enum class Glyph {
  kCheck,           // green check mark, 18 x 18
  kCross,           // red cross, 18 x 18
  kTableWindow,     // small window with a table, 16 x 16
  kCirclingArrows,  // green circling arrows, 18 x 18
  kDoor,            // open door, 18 x 18
  kOpenSheet,       // sheet of paper with rays, 16 x 16
  kFloppy,          // floppy disk, 16 x 16
  kArrowLeft,       // red arrow pointing left, 16 x 16
  kArrowRight,      // red arrow pointing right, 16 x 16
};

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
};

struct GlyphPoint {
  double x = 0, y = 0;
};

struct GlyphShape {
  enum Kind {
    kPolyline,  // points
    kPolygon,   // points, closed
    kRect,      // points[0] top-left, points[1] size
    kEllipse,   // points[0] centre, points[1] radii
    kArc,       // points[0] top-left, points[1] size; start and span in degrees,
                // counter-clockwise from three o'clock
  };
  Kind kind = kPolyline;
  std::vector<GlyphPoint> points;
  bool pen = true;
  Rgb penColor;
  double penWidth = 1;
  bool roundCap = false;
  bool brush = false;
  Rgb brushColor;
  double start = 0, span = 0;
};

struct GlyphPicture {
  int size = 16;
  std::vector<GlyphShape> shapes;
};

GlyphPicture GlyphShapes(Glyph glyph);

}  // namespace vr::ui
