#pragma once
// The small pictures of the library's buttons as Qt icons (transparent
// background; the greyed image of a disabled button comes from the style).
#include <QIcon>
#include <QPushButton>

#include "ui/model/glyph_shapes.h"

namespace vr::ui {

QIcon GlyphIcon(Glyph glyph);
// A push button with the glyph at its drawn size beside the caption; it does
// not become the default button by taking the focus.
QPushButton* GlyphButton(QWidget* parent, const char* name, const QString& caption, Glyph glyph,
                         int x, int y, int w, int h);

}  // namespace vr::ui
