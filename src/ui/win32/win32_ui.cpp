#include "ui/win32/win32_ui.h"

#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <cmath>
#include <map>
#include <mutex>
#include <vector>

#include "ui/win32/resource_ids.h"

namespace vr::ui::win32 {
namespace {

HANDLE ActivationContext() {
  static const HANDLE context = [] {
    ACTCTXW ac{};
    ac.cbSize = sizeof ac;
    ac.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
    ac.hModule = ViewModule();
    ac.lpResourceName = MAKEINTRESOURCEW(VR_MANIFEST_ID);
    return CreateActCtxW(&ac);
  }();
  return context;
}

// The picture is drawn four times as large with GDI's exact colours on a key
// colour no picture uses, then averaged down: coverage becomes alpha, as in
// the antialiased Qt pictures.
constexpr int kScale = 4;
constexpr COLORREF kKey = RGB(255, 0, 255);

POINT Scaled(const GlyphPoint& p) {
  return {std::lround(p.x * kScale), std::lround(p.y * kScale)};
}

void DrawShape(HDC dc, const GlyphShape& s) {
  HPEN pen = static_cast<HPEN>(GetStockObject(NULL_PEN));
  if (s.pen) {
    LOGBRUSH lb{BS_SOLID, RGB(s.penColor.r, s.penColor.g, s.penColor.b), 0};
    const DWORD style =
        PS_GEOMETRIC | PS_SOLID |
        (s.roundCap ? PS_ENDCAP_ROUND | PS_JOIN_ROUND : PS_ENDCAP_SQUARE | PS_JOIN_BEVEL);
    pen =
        ExtCreatePen(style, static_cast<DWORD>(std::lround(s.penWidth * kScale)), &lb, 0, nullptr);
  }
  HBRUSH brush = s.brush ? CreateSolidBrush(RGB(s.brushColor.r, s.brushColor.g, s.brushColor.b))
                         : static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
  HGDIOBJ oldPen = SelectObject(dc, pen), oldBrush = SelectObject(dc, brush);
  std::vector<POINT> pts;
  for (const GlyphPoint& p : s.points) pts.push_back(Scaled(p));
  const GlyphPoint a = s.points[0], b = s.points.size() > 1 ? s.points[1] : GlyphPoint{};
  auto px = [](double v) { return static_cast<int>(std::lround(v * kScale)); };
  switch (s.kind) {
    case GlyphShape::kPolyline:
      Polyline(dc, pts.data(), static_cast<int>(pts.size()));
      break;
    case GlyphShape::kPolygon:
      Polygon(dc, pts.data(), static_cast<int>(pts.size()));
      break;
    case GlyphShape::kRect:
      Rectangle(dc, px(a.x), px(a.y), px(a.x + b.x), px(a.y + b.y));
      break;
    case GlyphShape::kEllipse:
      Ellipse(dc, px(a.x - b.x), px(a.y - b.y), px(a.x + b.x), px(a.y + b.y));
      break;
    case GlyphShape::kArc: {
      const double cx = a.x + b.x / 2, cy = a.y + b.y / 2, r = b.x;
      const double pi = std::acos(-1.0), from = s.start * pi / 180,
                   to = (s.start + s.span) * pi / 180;
      SetArcDirection(dc, AD_COUNTERCLOCKWISE);
      Arc(dc, px(a.x), px(a.y), px(a.x + b.x), px(a.y + b.y), px(cx + r * std::cos(from)),
          px(cy - r * std::sin(from)), px(cx + r * std::cos(to)), px(cy - r * std::sin(to)));
      break;
    }
  }
  SelectObject(dc, oldPen);
  SelectObject(dc, oldBrush);
  if (s.pen) DeleteObject(pen);
  if (s.brush) DeleteObject(brush);
}

HBITMAP TopDownDib(HDC dc, int size, uint32_t** bits) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = size;
  bi.bmiHeader.biHeight = -size;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  return CreateDIBSection(dc, &bi, DIB_RGB_COLORS, reinterpret_cast<void**>(bits), nullptr, 0);
}

// A 32-bit picture with premultiplied alpha.
HBITMAP RenderGlyph(Glyph glyph, int* size) {
  const GlyphPicture picture = GlyphShapes(glyph);
  const int n = picture.size, big = n * kScale;
  HDC dc = CreateCompatibleDC(nullptr);
  uint32_t* canvas = nullptr;
  HBITMAP large = TopDownDib(dc, big, &canvas);
  HGDIOBJ old = SelectObject(dc, large);
  HBRUSH key = CreateSolidBrush(kKey);
  RECT all{0, 0, big, big};
  FillRect(dc, &all, key);
  DeleteObject(key);
  for (const GlyphShape& s : picture.shapes) DrawShape(dc, s);
  GdiFlush();
  uint32_t* out = nullptr;
  HBITMAP small = TopDownDib(dc, n, &out);
  const uint32_t keyPixel = 0xFF00FF;  // the key colour as the DIB stores it
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      unsigned r = 0, g = 0, b = 0, covered = 0;
      for (int dy = 0; dy < kScale; ++dy) {
        for (int dx = 0; dx < kScale; ++dx) {
          const uint32_t p = canvas[(y * kScale + dy) * big + x * kScale + dx] & 0xFFFFFF;
          if (p == keyPixel) continue;
          ++covered;
          r += (p >> 16) & 0xFF, g += (p >> 8) & 0xFF, b += p & 0xFF;
        }
      }
      const unsigned samples = kScale * kScale;
      // Premultiplied: the average over all samples, the key counting as 0.
      out[y * n + x] = covered ? ((covered * 255 / samples) << 24) | ((r / samples) << 16) |
                                     ((g / samples) << 8) | (b / samples)
                               : 0;
    }
  }
  SelectObject(dc, old);
  DeleteObject(large);
  DeleteDC(dc);
  *size = n;
  return small;
}

}  // namespace

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::string ControlText(HWND control) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  return Utf8(text);
}

void SetControlText(HWND control, const std::string& utf8) {
  SetWindowTextW(control, Wide(utf8).c_str());
}

HMODULE ViewModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ViewModule), &module);
  return module;
}

ActivationScope::ActivationScope() {
  const HANDLE context = ActivationContext();
  if (context != INVALID_HANDLE_VALUE) active_ = ActivateActCtx(context, &cookie_) != FALSE;
  static std::once_flag once;
  std::call_once(once, [] {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS |
                                             ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
  });
}

ActivationScope::~ActivationScope() {
  if (active_) DeactivateActCtx(0, cookie_);
}

void SetButtonGlyph(HWND button, Glyph glyph) {
  // One image list per picture for the library's lifetime.
  static std::mutex mu;
  static std::map<Glyph, HIMAGELIST> lists;
  HIMAGELIST list = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu);
    auto it = lists.find(glyph);
    if (it == lists.end()) {
      int size = 0;
      HBITMAP picture = RenderGlyph(glyph, &size);
      list = ImageList_Create(size, size, ILC_COLOR32, 1, 0);
      ImageList_Add(list, picture, nullptr);
      DeleteObject(picture);
      it = lists.emplace(glyph, list).first;
    }
    list = it->second;
  }
  BUTTON_IMAGELIST bil{list, {2, 0, 2, 0}, BUTTON_IMAGELIST_ALIGN_LEFT};
  SendMessageW(button, BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&bil));
}

}  // namespace vr::ui::win32
