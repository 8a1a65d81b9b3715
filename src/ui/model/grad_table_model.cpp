#include "ui/model/grad_table_model.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "common/rounding.h"
#include "config/ini_file.h"

namespace vr::ui {

double NumberFormat::ToFloat(const std::string& text) const {
  if (std::optional<double> v = Parse(text)) return *v;
  throw EConvertError("«" + text + "» не является числом");
}

std::string FormatWhole(double value) {
  return std::to_string(RoundToInt64(value));
}

void SetHeadings(CellTable& grid) {
  grid.SetCell(0, 0, "№");
  grid.SetCell(1, 0, "Уровень, cм");  // Latin "c", Cyrillic "м"
  grid.SetCell(2, 0, "Объем, л");
}

void ClearRow(CellTable& grid, int row) {
  for (int c = 0; c < 3; ++c) grid.SetCell(c, row, std::string());
}

void FillLevels(CellTable& table, double heightMm, const NumberFormat& format) {
  for (int k = 1; k <= kGaugeRows; ++k) {
    table.SetCell(0, k, std::to_string(k));
    table.SetCell(kLevelCol, k, format.OneDecimal(heightMm / 20 * k / 10));
  }
}

std::optional<TableProblem> CheckTable(const CellTable& grid, const NumberFormat& format) {
  std::optional<double> previous = format.Parse(grid.Cell(kVolumeCol, 1));
  if (!previous) return TableProblem{1, kBadTableData};
  for (int r = 2; r < grid.RowCount(); ++r) {
    std::optional<double> v = format.Parse(grid.Cell(kVolumeCol, r));
    if (!v || *v < *previous) return TableProblem{r, kTableNotAscending};
    previous = v;
  }
  return std::nullopt;
}

std::vector<ChartPoint> SeriesPoints(const CellTable& grid, const NumberFormat& format) {
  std::vector<ChartPoint> points;
  for (int r = 1; r < grid.RowCount(); ++r)
    points.push_back(
        {format.ToFloat(grid.Cell(kLevelCol, r)), format.ToFloat(grid.Cell(kVolumeCol, r))});
  std::stable_sort(points.begin(), points.end(),
                   [](const ChartPoint& a, const ChartPoint& b) { return a.x < b.x; });
  return points;
}

bool EditedTextIsBad(const std::string& text, const NumberFormat& format,
                     const std::function<void()>& redraw) {
  if (text.empty()) return false;
  if (!format.Parse(text)) return true;
  try {
    redraw();
  } catch (const EConvertError&) {
    return true;
  }
  return false;
}

std::optional<const char*> Interpolate(const CellTable& config, CellTable& table,
                                       const NumberFormat& format) {
  const int n = config.RowCount() - 1;
  auto x = [&](int i) { return format.ToFloat(config.Cell(kLevelCol, i)); };
  auto y = [&](int i) { return format.ToFloat(config.Cell(kVolumeCol, i)); };
  if (n < 2) return kBadTableData;
  std::vector<std::string> volumes;
  int j = 2;
  for (int row = 1; row <= kGaugeRows; ++row) {
    const double level = format.ToFloat(table.Cell(kLevelCol, row));
    int i = j;
    while (x(i) < level && i < n) ++i;
    j = i;
    const double x0 = x(j - 1), x1 = x(j);
    if (x1 == x0) return kBadTableData;
    const double k = (y(j) - y(j - 1)) / (x1 - x0);
    const double b = y(j - 1) - k * x0;
    const double volume = level * k + b;
    if (!std::isfinite(volume)) return kBadTableData;
    volumes.push_back(FormatWhole(volume));
  }
  for (int row = 1; row <= kGaugeRows; ++row) table.SetCell(kVolumeCol, row, volumes[row - 1]);
  return std::nullopt;
}

void CopyTable(const CellTable& table, CellTable& config) {
  config.SetRowCount(table.RowCount());
  for (int r = 1; r < table.RowCount(); ++r)
    for (int c = 0; c < 3; ++c) config.SetCell(c, r, table.Cell(c, r));
}

void SaveTable(const CellTable& config, const std::string& fileName, const std::string& section,
               Units units, const NumberFormat& format) {
  IniFile ini(fileName);
  std::vector<GradPoint> points;
  for (int r = 1; r < config.RowCount(); ++r) {
    GradPoint p;
    p.Level = format.ToFloat(config.Cell(kLevelCol, r)) * 10;
    p.Volume = format.ToFloat(config.Cell(kVolumeCol, r));
    points.push_back(p);
  }
  ini.WriteList(section, PointsToText(points, units, format.LineSeparator()));
  try {
    ini.UpdateFile();
  } catch (const std::exception&) {
    // A failed write of the table is not reported.
  }
}

void LoadTable(CellTable& config, const std::string& fileName, const std::string& section,
               Units units, const NumberFormat& format) {
  std::vector<std::string> lines;
  try {
    IniFile(fileName).ReadClearList(section, lines);
  } catch (const std::exception&) {
    lines.clear();
  }
  if (lines.empty()) return;
  const std::vector<GradPoint> points = TextToPoints(lines, units);
  config.SetRowCount(static_cast<int>(points.size()) + 1);
  for (size_t i = 0; i < points.size(); ++i) {
    const int row = static_cast<int>(i) + 1;
    config.SetCell(0, row, std::to_string(row));
    config.SetCell(kLevelCol, row, format.OneDecimal(points[i].Level / 10));
    config.SetCell(kVolumeCol, row, FormatWhole(points[i].Volume));
  }
}

}  // namespace vr::ui

namespace vr::ui {

AxisRange NiceAxis(double min, double max, int ticks) {
  if (!(max > min)) max = min + 1;
  const double raw = (max - min) / ticks;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = power * 10;
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (raw <= m * power) {
      step = m * power;
      break;
    }
  }
  return {std::floor(min / step) * step, std::ceil(max / step) * step, step};
}

}  // namespace vr::ui
