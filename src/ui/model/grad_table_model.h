#pragma once
// The calibration-table window without its drawing: the two tables (the
// gauge's 20 points and the comparison table), their levels, checks,
// interpolation and copying, the chart's series, and the table files. The Qt
// and Win32 windows keep the cells in their grids and reach them through
// CellTable; numbers go through the view's NumberFormat (the user's locale).
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ui/model/table_file.h"

namespace vr::ui {

inline constexpr int kGaugeRows = 20;
inline constexpr int kLevelCol = 1;
inline constexpr int kVolumeCol = 2;

inline constexpr const char* kBadTableData = "Неверные данные в таблице!";
inline constexpr const char* kTableNotAscending = "Данные в таблице не упорядочены по возрастанию!";
inline constexpr const char* kChooseGauge = "Выберите номер уровнемера!";
inline constexpr const char* kReadTableFailed =
    "Ошибка чтения градуировочной таблицы.\n\rВозможно уровнемер отсутствует или отключен, либо в "
    "него записаны неверные данные.";
inline constexpr const char* kWriteTableFailed =
    "Ошибка записи в уровнемер градуировочной таблицы.";

// A failed number conversion of a cell's text.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Numbers as the user's locale writes them (UTF-8 texts).
class NumberFormat {
 public:
  virtual ~NumberFormat() = default;
  // Nothing for empty, malformed or infinite values.
  virtual std::optional<double> Parse(const std::string& text) const = 0;
  // One decimal with the locale's separator.
  virtual std::string OneDecimal(double value) const = 0;
  // ',' or '.', as the table lines can carry it.
  virtual char LineSeparator() const = 0;

  // Parse, raising EConvertError with the standard conversion message.
  double ToFloat(const std::string& text) const;
};

// Whole number (halves to even), decimal digits only.
std::string FormatWhole(double value);

// A grid's cells as Cells[col, row]; row 0 holds the headings. Cells outside
// the grid read as "".
class CellTable {
 public:
  virtual ~CellTable() = default;
  virtual int RowCount() const = 0;
  virtual void SetRowCount(int rows) = 0;
  virtual std::string Cell(int col, int row) const = 0;
  virtual void SetCell(int col, int row, const std::string& text) = 0;
};

struct ChartPoint {
  double x = 0, y = 0;  // level in cm, volume in litres
};

// A row that fails the table check, and why.
struct TableProblem {
  int row;
  const char* text;
};

void SetHeadings(CellTable& grid);
void ClearRow(CellTable& grid, int row);

// Row numbers and levels (cm) of the gauge table from the tank height (mm).
void FillLevels(CellTable& table, double heightMm, const NumberFormat& format);

// The volume column: row 1 a number, the following ones numbers not below
// their predecessor.
std::optional<TableProblem> CheckTable(const CellTable& grid, const NumberFormat& format);

// Level and volume of each data row in ascending order of level. A level that
// is not a number raises EConvertError.
std::vector<ChartPoint> SeriesPoints(const CellTable& grid, const NumberFormat& format);

// The rule for a cell's text as it is typed: an empty text is let be; a text
// that is not a number, or a table whose levels cannot be drawn (redraw raises
// EConvertError), is reported with kBadTableData. True when it must be.
bool EditedTextIsBad(const std::string& text, const NumberFormat& format,
                     const std::function<void()>& redraw);

// The gauge table's volumes from its levels on the comparison table's line.
// Nothing is changed unless every row can be computed; then the error text.
std::optional<const char*> Interpolate(const CellTable& config, CellTable& table,
                                       const NumberFormat& format);

// The comparison table becomes a copy of the gauge table.
void CopyTable(const CellTable& table, CellTable& config);

// The comparison table to and from a list section of an INI-style file. A
// failed write is not reported; an unreadable file reads as an empty list,
// which leaves the table as it is.
void SaveTable(const CellTable& config, const std::string& fileName, const std::string& section,
               Units units, const NumberFormat& format);
void LoadTable(CellTable& config, const std::string& fileName, const std::string& section,
               Units units, const NumberFormat& format);

}  // namespace vr::ui

namespace vr::ui {

// An axis over [min, max] widened to round numbers: a step of 1, 2 or 5 times
// a power of ten, about `ticks` intervals.
struct AxisRange {
  double min = 0, max = 1, step = 1;
};
AxisRange NiceAxis(double min, double max, int ticks = 4);

}  // namespace vr::ui
