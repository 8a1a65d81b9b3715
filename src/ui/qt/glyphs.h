#pragma once
// The small pictures of the library's buttons as Qt icons (transparent
// background; the greyed image of a disabled button comes from the style).
#include <QIcon>
#include <QPushButton>

#include "ui/model/glyph_shapes.h"

namespace vr::ui {

QIcon GlyphIcon(Glyph glyph);
// A push button with the glyph at its drawn size beside the caption.
QPushButton* GlyphButton(const QString& caption, Glyph glyph, QWidget* parent);

}  // namespace vr::ui
