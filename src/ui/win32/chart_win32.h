#pragma once
#include <windows.h>

#include <vector>

#include "ui/model/grad_table_model.h"

namespace vr::ui::win32 {

inline constexpr wchar_t kChartClass[] = L"VrSiloChart";

// Registers the chart's window class in the library's module (once).
void RegisterChartClass();
// Series 0 is the gauge table, series 1 the comparison table.
void SetChartSeries(HWND chart, int series, const std::vector<ChartPoint>& points);

}  // namespace vr::ui::win32
