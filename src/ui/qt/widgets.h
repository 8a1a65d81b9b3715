#pragma once
// Controls shared by the library's windows: a string grid with fixed heading
// cells and per-cell edit notifications, a spin field whose text may be empty,
// separator lines, and the locale's number conversions.
#include <QAbstractSpinBox>
#include <QFrame>
#include <QLocale>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "ui/model/grad_table_model.h"

namespace vr::ui {

// The user's locale for numbers in the windows: its decimal separator, no
// group separators written or accepted.
QLocale UiLocale();
// The locale's decimal separator as the table lines can carry it: ',' or '.'.
char LineDecimalSeparator();

// The text as a number in the locale format; nothing for empty, malformed or
// infinite values.
std::optional<double> LocaleNumber(const QString& text);
// Same, raising EConvertError with the standard conversion message.
double LocaleToFloat(const QString& text);
// "0.0": one decimal with the locale's separator.
QString FormatOneDecimal(double value);

// The library's fonts: "MS Sans Serif" 8 pt where it exists, else a narrow
// sans-serif of about the same metrics.
QFont DialogFont();

class TStringGrid;

// Edit notifications of a grid, in the order an edit produces them.
struct GridHandlers {
  // Editing of a cell begins.
  std::function<void(TStringGrid*, int col, int row)> getEditText;
  // The text of the cell being edited changed (the cell already holds it).
  std::function<void(TStringGrid*, int col, int row, const QString& text)> setEditText;
  // A key pressed in the cell editor; true when it was handled.
  std::function<bool(TStringGrid*, int key)> keyDown;
};

// A grid addressed as Cells[col, row] with fixed rows and columns that are
// drawn as headings and never edited. Cells outside the grid read as "".
class TStringGrid : public QTableWidget {
  Q_OBJECT
 public:
  explicit TStringGrid(QWidget* parent = nullptr);

  int RowCount() const { return rowCount(); }
  void SetColCount(int n);
  void SetRowCount(int n);
  void SetFixed(int cols, int rows);
  QString Cell(int col, int row) const;
  void SetCell(int col, int row, const QString& text);
  void SetColWidth(int col, int width) { setColumnWidth(col, width); }

  // Current row; setting it keeps the current column (a non-fixed one).
  int Row() const { return currentRow(); }
  void SetRow(int row);

  void SetHandlers(GridHandlers h) { handlers_ = std::move(h); }
  const GridHandlers& Handlers() const { return handlers_; }

  // The cell being edited (col, row), or (-1, -1).
  bool Editing() const { return editor_ != nullptr; }
  int EditCol() const { return edit_col_; }
  int EditRow() const { return edit_row_; }
  QWidget* Editor() const { return editor_; }
  // Ends the edit without taking the editor's text (the cell keeps what it holds).
  void EndEdit();

 private:
  friend class GridDelegate;
  void EditorOpened(QWidget* editor, int col, int row);
  void EditorClosed(QWidget* editor);
  void ApplyCellFlags(int col, int row);

  int fixed_cols_ = 0;
  int fixed_rows_ = 0;
  GridHandlers handlers_;
  QWidget* editor_ = nullptr;
  int edit_col_ = -1;
  int edit_row_ = -1;
};

// The model's view of a grid's cells (UTF-8 texts).
class GridCells : public CellTable {
 public:
  explicit GridCells(TStringGrid* grid) : grid_(grid) {}
  int RowCount() const override { return grid_->RowCount(); }
  void SetRowCount(int rows) override { grid_->SetRowCount(rows); }
  std::string Cell(int col, int row) const override { return grid_->Cell(col, row).toStdString(); }
  void SetCell(int col, int row, const std::string& text) override {
    grid_->SetCell(col, row, QString::fromStdString(text));
  }

 private:
  TStringGrid* grid_;
};

// The user's locale for the model's numbers.
class LocaleFormat : public NumberFormat {
 public:
  std::optional<double> Parse(const std::string& text) const override {
    return LocaleNumber(QString::fromStdString(text));
  }
  std::string OneDecimal(double value) const override {
    return FormatOneDecimal(value).toStdString();
  }
  char LineSeparator() const override { return LineDecimalSeparator(); }
};

// A spin field over a number: range, step and the number of decimals it
// accepts. Its text may be empty; an empty or unreadable text has the minimum
// as value. Changed() follows every change of the text.
class TRxSpinEdit : public QAbstractSpinBox {
  Q_OBJECT
 public:
  explicit TRxSpinEdit(QWidget* parent = nullptr);

  void SetRange(double minValue, double maxValue);
  void SetIncrement(double step) { increment_ = step; }
  void SetDecimals(int decimals) { decimals_ = decimals; }

  // The text's number, limited to the range.
  double Value() const;
  // Shows the value limited to the range.
  void SetValue(double value);
  QString Text() const;
  void SetText(const QString& text);

  void stepBy(int steps) override;
  QValidator::State validate(QString& input, int& pos) const override;
  void fixup(QString& input) const override;

 signals:
  void Changed();

 protected:
  StepEnabled stepEnabled() const override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  QString Format(double value) const;

  double min_ = 0.0;
  double max_ = 100.0;
  double increment_ = 1.0;
  int decimals_ = 0;
};

// A sunken horizontal line, two pixels high: the windows' separators.
QFrame* SunkenLine(QWidget* parent);

}  // namespace vr::ui
