#pragma once
// The small pictures of the library's buttons as Qt icons (transparent
// background; the greyed image of a disabled button comes from the style).
#include <QIcon>

#include "ui/model/glyph_shapes.h"

namespace vr::ui {

QIcon GlyphIcon(Glyph glyph);

}  // namespace vr::ui
