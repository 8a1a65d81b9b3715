// The calibration window's chart: the two tables as lines over level (cm)
// and volume (l), painted with GDI. Title, legend, axis units and colours as
// in the Qt window's chart.
#include "ui/win32/chart_win32.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "ui/model/grad_table_model.h"
#include "ui/win32/win32_ui.h"

namespace vr::ui::win32 {
namespace {

struct Series {
  const char* name;
  COLORREF color;
  std::vector<ChartPoint> points;
};

struct Chart {
  std::array<Series, 2> series{Series{"Уровнемер", RGB(32, 159, 223), {}},
                               Series{"Конф. файл", RGB(128, 0, 255), {}}};
};

Chart* Of(HWND w) {
  return reinterpret_cast<Chart*>(GetWindowLongPtrW(w, GWLP_USERDATA));
}

SIZE TextSize(HDC dc, const std::wstring& text) {
  SIZE s{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &s);
  return s;
}

void TextAt(HDC dc, int x, int y, const std::wstring& text) {
  TextOutW(dc, x, y, text.c_str(), static_cast<int>(text.size()));
}

std::wstring Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return Wide(buf);
}

void Paint(HWND w, HDC dc, const Chart& chart) {
  RECT all;
  GetClientRect(w, &all);
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  HGDIOBJ oldFont =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(GetParent(w), WM_GETFONT, 0, 0)));
  SetBkMode(dc, TRANSPARENT);
  const int width = all.right, height = all.bottom;

  const std::wstring title = Wide("Сравнение таблиц градуировки");
  const SIZE ts = TextSize(dc, title);
  TextAt(dc, (width - ts.cx) / 2, 4, title);

  // Legend: a swatch and the name of each series, centred.
  const int legendY = 4 + ts.cy + 6;
  int legendWidth = 0;
  for (const Series& s : chart.series) legendWidth += 14 + TextSize(dc, Wide(s.name)).cx + 12;
  int x = (width - legendWidth) / 2;
  for (const Series& s : chart.series) {
    RECT swatch{x, legendY + 2, x + 10, legendY + 12};
    HBRUSH b = CreateSolidBrush(s.color);
    FillRect(dc, &swatch, b);
    DeleteObject(b);
    TextAt(dc, x + 14, legendY, Wide(s.name));
    x += 14 + TextSize(dc, Wide(s.name)).cx + 12;
  }

  // Axes over both series (0..1 without points), widened to round numbers.
  double minX = 0, maxX = 1, minY = 0, maxY = 1;
  bool any = false;
  for (const Series& s : chart.series) {
    for (const ChartPoint& p : s.points) {
      if (!any) minX = maxX = p.x, minY = maxY = p.y, any = true;
      minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
      minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
    }
  }
  const AxisRange ax = NiceAxis(minX, maxX), ay = NiceAxis(minY, maxY);
  int labelWidth = 0;
  for (double v = ay.min; v <= ay.max + ay.step / 2; v += ay.step)
    labelWidth = std::max<int>(labelWidth, TextSize(dc, Number(v)).cx);
  const RECT plot{8 + labelWidth + 6, legendY + ts.cy + 20, width - 14, height - 2 * ts.cy - 12};
  if (plot.right <= plot.left || plot.bottom <= plot.top) return;
  auto px = [&](double v) {
    return plot.left +
           static_cast<int>((v - ax.min) / (ax.max - ax.min) * (plot.right - plot.left));
  };
  auto py = [&](double v) {
    return plot.bottom -
           static_cast<int>((v - ay.min) / (ay.max - ay.min) * (plot.bottom - plot.top));
  };

  HPEN grid = CreatePen(PS_SOLID, 1, RGB(220, 220, 220));
  HPEN axis = CreatePen(PS_SOLID, 1, RGB(128, 128, 128));
  HGDIOBJ oldPen = SelectObject(dc, grid);
  for (double v = ax.min; v <= ax.max + ax.step / 2; v += ax.step) {
    MoveToEx(dc, px(v), plot.top, nullptr);
    LineTo(dc, px(v), plot.bottom);
    const std::wstring label = Number(v);
    TextAt(dc, px(v) - TextSize(dc, label).cx / 2, plot.bottom + 4, label);
  }
  for (double v = ay.min; v <= ay.max + ay.step / 2; v += ay.step) {
    MoveToEx(dc, plot.left, py(v), nullptr);
    LineTo(dc, plot.right, py(v));
    const std::wstring label = Number(v);
    const SIZE ls = TextSize(dc, label);
    TextAt(dc, plot.left - 6 - ls.cx, py(v) - ls.cy / 2, label);
  }
  SelectObject(dc, axis);
  MoveToEx(dc, plot.left, plot.top, nullptr);
  LineTo(dc, plot.left, plot.bottom);
  LineTo(dc, plot.right, plot.bottom);
  const std::wstring cm = Wide("см"), litres = Wide("л");
  TextAt(dc, (plot.left + plot.right - TextSize(dc, cm).cx) / 2, plot.bottom + 4 + ts.cy, cm);
  TextAt(dc, plot.left - TextSize(dc, litres).cx - 2, plot.top - ts.cy - 2, litres);

  HRGN clip = CreateRectRgn(plot.left, plot.top - 2, plot.right + 2, plot.bottom + 2);
  SelectClipRgn(dc, clip);
  for (const Series& s : chart.series) {
    if (s.points.size() < 2) continue;
    LOGBRUSH lb{BS_SOLID, s.color, 0};
    HPEN line =
        ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND | PS_JOIN_ROUND, 3, &lb, 0, nullptr);
    SelectObject(dc, line);
    std::vector<POINT> pts;
    for (const ChartPoint& p : s.points) pts.push_back({px(p.x), py(p.y)});
    Polyline(dc, pts.data(), static_cast<int>(pts.size()));
    SelectObject(dc, axis);
    DeleteObject(line);
  }
  SelectClipRgn(dc, nullptr);
  DeleteObject(clip);
  SelectObject(dc, oldPen);
  SelectObject(dc, oldFont);
  DeleteObject(grid);
  DeleteObject(axis);
}

LRESULT CALLBACK ChartProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NCCREATE:
      SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new Chart));
      break;
    case WM_NCDESTROY:
      delete Of(w);
      SetWindowLongPtrW(w, GWLP_USERDATA, 0);
      break;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(w, &ps);
      RECT r;
      GetClientRect(w, &r);
      // Painted off screen, then copied: no flicker while a series changes.
      HDC memory = CreateCompatibleDC(dc);
      HBITMAP bitmap = CreateCompatibleBitmap(dc, r.right, r.bottom);
      HGDIOBJ old = SelectObject(memory, bitmap);
      if (Chart* chart = Of(w)) Paint(w, memory, *chart);
      BitBlt(dc, 0, 0, r.right, r.bottom, memory, 0, 0, SRCCOPY);
      SelectObject(memory, old);
      DeleteObject(bitmap);
      DeleteDC(memory);
      EndPaint(w, &ps);
      return 0;
    }
    case WM_GETDLGCODE:
      return DLGC_STATIC;
  }
  return DefWindowProcW(w, message, wParam, lParam);
}

// Registered while the library is loaded: a host that unloads and loads it
// again must not find the class pointing into the old image.
struct ChartClass {
  ChartClass() {
    WNDCLASSW wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = &ChartProc;
    wc.hInstance = ViewModule();
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.lpszClassName = kChartClass;
    registered = RegisterClassW(&wc) != 0;
  }
  ~ChartClass() {
    if (registered) UnregisterClassW(kChartClass, ViewModule());
  }
  bool registered = false;
};

}  // namespace

void RegisterChartClass() {
  static ChartClass chart_class;
}

void SetChartSeries(HWND chart, int series, const std::vector<ChartPoint>& points) {
  if (Chart* c = Of(chart)) {
    c->series[series & 1].points = points;
    InvalidateRect(chart, nullptr, FALSE);
  }
}

}  // namespace vr::ui::win32
