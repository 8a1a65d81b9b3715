#pragma once
// The small pictures of the library's buttons, drawn here (transparent
// background; the greyed image of a disabled button comes from the style).
#include <QIcon>

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

QIcon GlyphIcon(Glyph glyph);

}  // namespace vr::ui
