#include "ui/qt/widgets.h"

#include <QFocusEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <algorithm>
#include <cmath>

#include "common/rounding.h"

namespace vr::ui {

QLocale UiLocale() {
  QLocale locale;
  locale.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
  return locale;
}

char LineDecimalSeparator() {
  return UiLocale().decimalPoint() == QStringLiteral(",") ? ',' : '.';
}

std::optional<double> LocaleNumber(const QString& text) {
  bool ok = false;
  double v = UiLocale().toDouble(text, &ok);
  if (!ok || !std::isfinite(v)) return std::nullopt;
  return v;
}

double LocaleToFloat(const QString& text) {
  if (std::optional<double> v = LocaleNumber(text)) return *v;
  throw EConvertError(QStringLiteral("«%1» не является числом").arg(text).toStdString());
}

QString FormatOneDecimal(double value) {
  return UiLocale().toString(value, 'f', 1);
}

QFont DialogFont() {
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                    QStringLiteral("DejaVu Sans Condensed"),
                    QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Arial Narrow"),
                    QStringLiteral("Sans Serif")});
  font.setPointSize(8);
  return font;
}

// ---------------------------------------------------------------------------
// Cell editing: reports the start of an edit, writes every change of the
// editor's text into the cell at once (so the window sees the grid as the user
// types), and offers each key to the grid's handler first.
class GridDelegate : public QStyledItemDelegate {
 public:
  explicit GridDelegate(TStringGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                        const QModelIndex& index) const override {
    auto* editor = new QLineEdit(parent);
    editor->setFrame(false);
    const int col = index.column(), row = index.row();
    TStringGrid* grid = grid_;
    QObject::connect(editor, &QLineEdit::textEdited, grid,
                     [grid, editor, col, row](const QString& t) {
                       if (grid->Editor() != editor) return;
                       grid->SetCell(col, row, t);
                       if (grid->Handlers().setEditText)
                         grid->Handlers().setEditText(grid, col, row, t);
                     });
    grid_->EditorOpened(editor, col, row);
    return editor;
  }

  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    // The cell follows the editor while typing; rewriting an equal text would
    // only move the cursor.
    auto* line = static_cast<QLineEdit*>(editor);
    QString text = index.data(Qt::EditRole).toString();
    if (line->text() != text) line->setText(text);
  }

  void setModelData(QWidget* editor, QAbstractItemModel* model,
                    const QModelIndex& index) const override {
    auto* line = static_cast<QLineEdit*>(editor);
    if (index.data(Qt::EditRole).toString() != line->text())
      model->setData(index, line->text(), Qt::EditRole);
  }

  void destroyEditor(QWidget* editor, const QModelIndex& index) const override {
    grid_->EditorClosed(editor);
    QStyledItemDelegate::destroyEditor(editor, index);
  }

 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::KeyPress && object == grid_->Editor()) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (grid_->Handlers().keyDown && grid_->Handlers().keyDown(grid_, key)) return true;
    }
    return QStyledItemDelegate::eventFilter(object, event);
  }

 private:
  TStringGrid* grid_;
};

TStringGrid::TStringGrid(QWidget* parent) : QTableWidget(parent) {
  horizontalHeader()->hide();
  verticalHeader()->hide();
  horizontalHeader()->setDefaultSectionSize(50);
  verticalHeader()->setMinimumSectionSize(8);
  verticalHeader()->setDefaultSectionSize(16);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  setShowGrid(true);
  setWordWrap(false);
  setSelectionMode(QAbstractItemView::ContiguousSelection);
  setSelectionBehavior(QAbstractItemView::SelectItems);
  setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                  QAbstractItemView::AnyKeyPressed);
  setItemDelegate(new GridDelegate(this));
}

void TStringGrid::SetColCount(int n) {
  const int old = columnCount();
  setColumnCount(n);
  for (int c = old; c < n; ++c)
    for (int r = 0; r < rowCount(); ++r) ApplyCellFlags(c, r);
}

void TStringGrid::SetRowCount(int n) {
  const int old = rowCount();
  setRowCount(n);
  for (int r = old; r < n; ++r)
    for (int c = 0; c < columnCount(); ++c) ApplyCellFlags(c, r);
}

void TStringGrid::SetFixed(int cols, int rows) {
  fixed_cols_ = cols;
  fixed_rows_ = rows;
  for (int r = 0; r < rowCount(); ++r)
    for (int c = 0; c < columnCount(); ++c) ApplyCellFlags(c, r);
}

void TStringGrid::ApplyCellFlags(int col, int row) {
  QTableWidgetItem* cell = item(row, col);
  if (!cell) {
    cell = new QTableWidgetItem;
    setItem(row, col, cell);
  }
  if (col < fixed_cols_ || row < fixed_rows_) {
    cell->setFlags(Qt::ItemIsEnabled);
    cell->setBackground(palette().button());
    cell->setForeground(palette().buttonText());
  } else {
    cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
    cell->setData(Qt::BackgroundRole, QVariant());
    cell->setData(Qt::ForegroundRole, QVariant());
  }
}

QString TStringGrid::Cell(int col, int row) const {
  const QTableWidgetItem* cell = item(row, col);
  return cell ? cell->text() : QString();
}

void TStringGrid::SetCell(int col, int row, const QString& text) {
  if (col < 0 || row < 0 || col >= columnCount() || row >= rowCount()) return;
  QTableWidgetItem* cell = item(row, col);
  if (!cell) {
    ApplyCellFlags(col, row);
    cell = item(row, col);
  }
  if (cell->text() != text) cell->setText(text);
}

void TStringGrid::SetRow(int row) {
  int col = currentColumn();
  if (col < fixed_cols_) col = std::min(fixed_cols_, columnCount() - 1);
  setCurrentCell(row, col);
}

void TStringGrid::EditorOpened(QWidget* editor, int col, int row) {
  editor_ = editor;
  edit_col_ = col;
  edit_row_ = row;
  if (handlers_.getEditText) handlers_.getEditText(this, col, row);
}

void TStringGrid::EditorClosed(QWidget* editor) {
  if (editor_ != editor) return;
  editor_ = nullptr;
  edit_col_ = edit_row_ = -1;
}

void TStringGrid::EndEdit() {
  if (QWidget* editor = editor_) closeEditor(editor, QAbstractItemDelegate::NoHint);
}

// ---------------------------------------------------------------------------

TRxSpinEdit::TRxSpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
  setButtonSymbols(QAbstractSpinBox::UpDownArrows);
  connect(lineEdit(), &QLineEdit::textChanged, this, &TRxSpinEdit::Changed);
}

void TRxSpinEdit::SetRange(double minValue, double maxValue) {
  min_ = minValue;
  max_ = std::max(minValue, maxValue);
}

double TRxSpinEdit::Value() const {
  std::optional<double> v = LocaleNumber(Text());
  return v ? std::clamp(*v, min_, max_) : min_;
}

void TRxSpinEdit::SetValue(double value) {
  QString text = Format(std::clamp(value, min_, max_));
  if (text != Text()) lineEdit()->setText(text);
}

QString TRxSpinEdit::Text() const {
  return lineEdit()->text();
}

void TRxSpinEdit::SetText(const QString& text) {
  if (text != Text()) lineEdit()->setText(text);
}

QString TRxSpinEdit::Format(double value) const {
  if (decimals_ <= 0) return QString::fromStdString(FormatWhole(value));
  QString text = UiLocale().toString(value, 'f', decimals_);
  const QString sep = UiLocale().decimalPoint();
  if (text.contains(sep)) {
    while (text.endsWith(QLatin1Char('0'))) text.chop(1);
    if (text.endsWith(sep)) text.chop(sep.size());
  }
  return text;
}

void TRxSpinEdit::stepBy(int steps) {
  SetValue(Value() + steps * increment_);
  selectAll();
}

QAbstractSpinBox::StepEnabled TRxSpinEdit::stepEnabled() const {
  if (isReadOnly()) return StepNone;
  StepEnabled e = StepNone;
  const double v = Value();
  if (v < max_ || Text().isEmpty()) e |= StepUpEnabled;
  if (v > min_) e |= StepDownEnabled;
  return e;
}

QValidator::State TRxSpinEdit::validate(QString& input, int&) const {
  if (input.isEmpty()) return QValidator::Acceptable;
  const QString sep = UiLocale().decimalPoint();
  int digits = 0, decimals = 0;
  bool seenSep = false;
  for (int i = 0; i < input.size(); ++i) {
    const QChar c = input[i];
    if (c.isDigit() && c.unicode() < 128) {
      ++digits;
      if (seenSep) ++decimals;
    } else if (i == 0 && c == QLatin1Char('-') && min_ < 0) {
    } else if (decimals_ > 0 && !seenSep && input.mid(i, sep.size()) == sep) {
      seenSep = true;
      i += static_cast<int>(sep.size()) - 1;
    } else {
      return QValidator::Invalid;
    }
  }
  if (decimals > decimals_) return QValidator::Invalid;
  std::optional<double> v = LocaleNumber(input);
  if (!v || digits == 0) return QValidator::Intermediate;
  return (*v >= min_ && *v <= max_) ? QValidator::Acceptable : QValidator::Intermediate;
}

void TRxSpinEdit::fixup(QString& input) const {
  if (input.isEmpty()) return;
  std::optional<double> v = LocaleNumber(input);
  input = Format(v ? std::clamp(*v, min_, max_) : min_);
}

void TRxSpinEdit::focusOutEvent(QFocusEvent* event) {
  QString text = Text();
  fixup(text);
  SetText(text);
  QAbstractSpinBox::focusOutEvent(event);
}

// ---------------------------------------------------------------------------

QFrame* SunkenLine(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

}  // namespace vr::ui
