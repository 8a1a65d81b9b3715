// The calibration-table window as a Win32 dialog: the gauge table beside the
// comparison table, the chart, interpolation and copying, the table files and
// the transfers to and from the gauge. Everything but the drawing is the
// model's (src/ui/model), as in the Qt window.
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <commdlg.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "common/application.h"
#include "common/fpu.h"
#include "common/rounding.h"
#include "config/ini_file.h"
#include "config/settings.h"
#include "driver/silo.h"
#include "ui/model/grad_table_model.h"
#include "ui/model/table_transfer.h"
#include "ui/win32/chart_win32.h"
#include "ui/win32/grid_win32.h"
#include "ui/win32/resource_ids.h"
#include "ui/win32/views.h"
#include "ui/win32/win32_ui.h"

namespace vr::ui::win32 {
namespace {

constexpr UINT WM_APP_TRANSFER_DONE = WM_APP + 0x58;
constexpr UINT WM_APP_CONFIG_EXIT = WM_APP + 0x59;
constexpr double kMinHeight = 500, kMaxHeight = 10000;

// Numbers in the user's locale (its decimal separator, no grouping).
class UserFormat : public NumberFormat {
 public:
  UserFormat() {
    wchar_t sep[8] = {};
    if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, sep, 8) > 0 && sep[0] == L',')
      separator_ = ',';
  }
  std::optional<double> Parse(const std::string& text) const override {
    size_t a = text.find_first_not_of(" \t"), b = text.find_last_not_of(" \t");
    if (a == std::string::npos) return std::nullopt;
    std::string s = text.substr(a, b - a + 1);
    for (char& c : s) {
      if (c == separator_)
        c = '.';
      else if (c == '.' || c == ',')
        return std::nullopt;  // the other separator
      else if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == 'e' ||
                 c == 'E'))
        return std::nullopt;
    }
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
  }
  std::string OneDecimal(double value) const override {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", value);
    std::string s = buf;
    for (char& c : s)
      if (c == '.') c = separator_;
    return s;
  }
  char LineSeparator() const override { return separator_; }

 private:
  char separator_ = '.';
};

// A transfer's state, shared by the window and the worker thread.
struct Transfer {
  std::mutex mu;
  HWND window = nullptr;  // null once the window is gone
  TSilo* driver = nullptr;
  bool read = true;
  uint8_t siloNum = 0;
  int32_t height = 0;
  VrCalibrationPoints points{};
  int32_t result = -1;
};

class GradTable {
 public:
  GradTable(HWND dialog, TSilo* driver);
  ~GradTable();
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

 private:
  HWND Item(int id) const { return GetDlgItem(dialog_, id); }
  void FormShow();
  void AccessOnOff(bool value);
  void FillLevels();
  bool CheckTable(ListGrid& grid, bool report);
  void DrawGraph();
  double HeightValue() const;
  void SetHeight(double value);
  void ShowError(const char* text) const {
    App().ShowMessage(text, "Ошибка", MB_OK | MB_ICONERROR);
  }
  void TextChanged(const std::string& text);
  void SetTable();
  void LoadConfig(const std::string& file, const std::string& section, Units units);
  void Command(int id);
  void StartTransfer(bool read);
  void FinishTransfer();
  std::optional<std::string> AskFile(bool save);

  HWND dialog_;
  TSilo* driver_;
  UserFormat format_;
  ListGrid table_, config_;
  std::string saved_edit_text_;
  std::shared_ptr<Transfer> transfer_;
  bool filling_height_ = false;
};

GradTable::GradTable(HWND dialog, TSilo* driver)
    : dialog_(dialog),
      driver_(driver),
      table_(GetDlgItem(dialog, IDC_TABLE), kVolumeCol, {40, 70, 60}),
      config_(GetDlgItem(dialog, IDC_CONFIG), kVolumeCol, {40, 70, 60}) {
  SetControlText(dialog_, "Таблица градуировки Veeder-Root");
  const struct {
    int id;
    const char* text;
  } labels[] = {{IDC_LABEL19, "Номер уровнемера:"},
                {IDC_LABEL4, "Таблица градуировки уровнемера:"},
                {IDC_LABEL5, "Сравнительная таблица градуировки:"},
                {IDC_LABEL22, "Полная высота резервуара, мм:"}};
  for (const auto& l : labels) SetControlText(Item(l.id), l.text);
  const struct {
    int id;
    const char* caption;
    Glyph glyph;
  } buttons[] = {{IDC_OPEN_FILE, "Считать из файла", Glyph::kOpenSheet},
                 {IDC_SAVE_FILE, "Сохранить в файл", Glyph::kFloppy},
                 {IDC_SET_TABLE, "", Glyph::kArrowLeft},
                 {IDC_SET_CONFIG, "", Glyph::kArrowRight},
                 {IDC_WRITE_TABLE, "Записать в уровнемер", Glyph::kCheck},
                 {IDC_READ_TABLE, "Считать из уровнемера", Glyph::kCirclingArrows},
                 {IDC_WRITE_CONFIG, "Записать в конф.", Glyph::kCheck},
                 {IDC_READ_CONFIG, "Считать из конф.", Glyph::kCirclingArrows},
                 {IDC_EXIT, "Выход", Glyph::kDoor}};
  for (const auto& b : buttons) {
    SetControlText(Item(b.id), b.caption);
    SetButtonGlyph(Item(b.id), b.glyph);
  }
  for (int n = 1; n <= 31; ++n)
    SendMessageW(Item(IDC_SILO_NUM), CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(std::to_wstring(n).c_str()));
  SendMessageW(Item(IDC_HEIGHT_SPIN), UDM_SETRANGE32, static_cast<WPARAM>(kMinHeight),
               static_cast<LPARAM>(kMaxHeight));
  table_.SetRowCount(kGaugeRows + 1);
  config_.SetRowCount(2);
  for (ListGrid* grid : {&table_, &config_}) {
    SetHeadings(*grid);
    grid->SetHandlers(GridHandlers{
        [this, grid](int col, int row) { saved_edit_text_ = grid->Cell(col, row); },
        [this](int, int, const std::string& text) { Guarded([&] { TextChanged(text); }); },
        [grid, this](int key) {
          // Esc while editing: the cell gets back the text it had.
          if (key != VK_ESCAPE || !grid->Editing()) return false;
          grid->SetCell(grid->EditCol(), grid->EditRow(), saved_edit_text_);
          grid->EndEdit();
          return true;
        },
        [this, grid](HWND to) {
          // Leaving the comparison table for another control of this window
          // (not the exit button) checks it.
          if (grid == &config_ && to && GetParent(to) == dialog_ && to != Item(IDC_EXIT))
            PostMessageW(dialog_, WM_APP_CONFIG_EXIT, 0, 0);
        }});
  }
  SetHeight(kMinHeight);
  FormShow();
}

GradTable::~GradTable() {
  if (transfer_) {
    std::lock_guard<std::mutex> lock(transfer_->mu);
    transfer_->window = nullptr;  // a running transfer finishes without the window
  }
}

void GradTable::FormShow() {
  AccessOnOff(false);
  SetHeadings(table_);
  config_.SetRowCount(2);
  SetHeadings(config_);
  ClearRow(config_, 1);
  SetChartSeries(Item(IDC_CHART), 0, {});
  SetChartSeries(Item(IDC_CHART), 1, {});
  filling_height_ = true;
  SetControlText(Item(IDC_HEIGHT), "");
  filling_height_ = false;
  EnableWindow(Item(IDC_SILO_NUM), TRUE);
  for (int r = 1; r <= kGaugeRows; ++r) ClearRow(table_, r);
}

void GradTable::AccessOnOff(bool value) {
  for (int id : {IDC_LABEL22, IDC_HEIGHT, IDC_HEIGHT_SPIN, IDC_TABLE, IDC_CONFIG, IDC_READ_TABLE,
                 IDC_WRITE_TABLE, IDC_READ_CONFIG, IDC_WRITE_CONFIG, IDC_SET_TABLE, IDC_SET_CONFIG,
                 IDC_SAVE_FILE, IDC_OPEN_FILE, IDC_CHART, IDC_SILO_NUM})
    EnableWindow(Item(id), value);
}

double GradTable::HeightValue() const {
  const std::optional<double> v = format_.Parse(ControlText(Item(IDC_HEIGHT)));
  if (!v) return kMinHeight;
  return std::min(kMaxHeight, std::max(kMinHeight, *v));
}

void GradTable::SetHeight(double value) {
  value = std::min(kMaxHeight, std::max(kMinHeight, value));
  // One decimal at most, trailing zeros dropped.
  std::string text = format_.OneDecimal(value);
  if (text.size() > 2 && text.back() == '0') text.resize(text.size() - 2);
  SetControlText(Item(IDC_HEIGHT), text);
}

void GradTable::FillLevels() {
  vr::ui::FillLevels(table_, HeightValue(), format_);
}

bool GradTable::CheckTable(ListGrid& grid, bool report) {
  const std::optional<TableProblem> problem = vr::ui::CheckTable(grid, format_);
  if (problem && report) {
    ShowError(problem->text);
    grid.SelectRow(problem->row);
    SetFocus(grid.Window());
  }
  return !problem;
}

void GradTable::DrawGraph() {
  if (!CheckTable(table_, false) || !CheckTable(config_, false)) return;
  SetChartSeries(Item(IDC_CHART), 0, SeriesPoints(table_, format_));
  SetChartSeries(Item(IDC_CHART), 1, SeriesPoints(config_, format_));
}

void GradTable::TextChanged(const std::string& text) {
  if (EditedTextIsBad(text, format_, [this] { DrawGraph(); })) ShowError(kBadTableData);
}

void GradTable::SetTable() {
  if (std::optional<const char*> error = Interpolate(config_, table_, format_)) {
    ShowError(*error);
    return;
  }
  DrawGraph();
}

void GradTable::LoadConfig(const std::string& file, const std::string& section, Units units) {
  SetChartSeries(Item(IDC_CHART), 1, {});
  LoadTable(config_, file, section, units, format_);
  DrawGraph();
}

std::optional<std::string> GradTable::AskFile(bool save) {
  wchar_t name[MAX_PATH] = {};
  const std::wstring filter = Wide("Градуировочные таблицы") + L'\0' + L"*.tar" + L'\0' +
                              Wide("Все файлы") + L'\0' + L"*.*" + L'\0';
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = dialog_;
  ofn.lpstrFilter = filter.c_str();
  ofn.lpstrFile = name;
  ofn.nMaxFile = MAX_PATH;
  ofn.lpstrDefExt = L"tar";
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
  HostFpuScope host;
  const BOOL ok = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
  if (!ok) return std::nullopt;
  return Utf8(name);
}

void GradTable::Command(int id) {
  const int silo = static_cast<int>(SendMessageW(Item(IDC_SILO_NUM), CB_GETCURSEL, 0, 0));
  switch (id) {
    case IDC_READ_TABLE:
      if (silo < 0) {
        App().ShowMessage(kChooseGauge, "Информация", MB_OK | MB_ICONWARNING);
        return;
      }
      StartTransfer(true);
      EnableWindow(Item(IDC_WRITE_TABLE), FALSE);
      return;
    case IDC_WRITE_TABLE:
      if (CheckTable(table_, true)) StartTransfer(false);
      return;
    case IDC_SET_TABLE:
      SetTable();
      return;
    case IDC_SET_CONFIG:
      CopyTable(table_, config_);
      DrawGraph();
      return;
    case IDC_READ_CONFIG:
    case IDC_WRITE_CONFIG: {
      const std::string path = SettingsFilePath();
      if (!FileExists(path)) return;
      if (id == IDC_READ_CONFIG)
        LoadConfig(path, SettingsSection(silo), Units::kSettings);
      else
        SaveTable(config_, path, SettingsSection(silo), Units::kSettings, format_);
      return;
    }
    case IDC_OPEN_FILE:
      if (std::optional<std::string> name = AskFile(false))
        LoadConfig(*name, kTableFileSection, Units::kFile);
      return;
    case IDC_SAVE_FILE:
      if (std::optional<std::string> name = AskFile(true)) {
        // A table file holds the one table: whatever it held before goes.
        HANDLE f = CreateFileW(Wide(*name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) {
          App().ReportError("Невозможно создать файл \"" + *name + "\".");
          return;
        }
        CloseHandle(f);
        SaveTable(config_, *name, kTableFileSection, Units::kFile, format_);
      }
      return;
  }
}

// The preparing step runs here, on the window's thread; the driver call on a
// worker; the finishing step back here (WM_APP_TRANSFER_DONE).
void GradTable::StartTransfer(bool read) {
  auto t = std::make_shared<Transfer>();
  t->window = dialog_;
  t->driver = driver_;
  t->read = read;
  AccessOnOff(false);
  UpdateWindow(dialog_);
  t->siloNum = static_cast<uint8_t>(SendMessageW(Item(IDC_SILO_NUM), CB_GETCURSEL, 0, 0) + 1);
  transfer_ = t;
  bool go = true;
  if (!read) {
    try {
      t->height = RoundToInt32(HeightValue());
      TableToPoints(table_, format_, t->points);
    } catch (const std::exception& e) {
      App().ReportError(e.what());
      go = false;  // reported as a failed write, the window unlocked again
    }
  }
  if (!driver_) go = false;
  if (!go) {
    PostMessageW(dialog_, WM_APP_TRANSFER_DONE, 0, 0);
    return;
  }
  BeginDriverUse(driver_);
  std::thread([t] {
    FpuScope fpu;
    int32_t result = -1;
    try {
      result = t->read ? t->driver->ReadCalibrationTable(t->siloNum, &t->height, t->points.bytes)
                       : t->driver->WriteCalibrationTable(t->siloNum, t->height, t->points.bytes);
    } catch (...) {
    }
    EndDriverUse(t->driver);
    std::lock_guard<std::mutex> lock(t->mu);
    t->result = result;
    if (t->window) PostMessageW(t->window, WM_APP_TRANSFER_DONE, 0, 0);
  }).detach();
}

void GradTable::FinishTransfer() {
  std::shared_ptr<Transfer> t = std::move(transfer_);
  if (!t) return;
  int32_t result;
  {
    std::lock_guard<std::mutex> lock(t->mu);
    result = t->result;
  }
  if (!t->read) {
    AccessOnOff(true);
    if (result != 0) ShowError(kWriteTableFailed);
    return;
  }
  if (result == 0) {
    AccessOnOff(true);
    SetHeight(t->height);
    SetChartSeries(Item(IDC_CHART), 0, {});
    PointsToTable(t->points, table_);
    try {
      const std::string path = SettingsFilePath();
      const int silo = static_cast<int>(SendMessageW(Item(IDC_SILO_NUM), CB_GETCURSEL, 0, 0));
      if (FileExists(path)) LoadConfig(path, SettingsSection(silo), Units::kSettings);
    } catch (...) {
      // The gauge table is shown even when the stored one cannot be.
    }
    FillLevels();
    DrawGraph();
    EnableWindow(Item(IDC_READ_TABLE), TRUE);
    return;
  }
  SetControlText(Item(IDC_HEIGHT), "");
  EnableWindow(Item(IDC_SILO_NUM), TRUE);
  ClearTables(table_, config_);
  SetChartSeries(Item(IDC_CHART), 0, {});
  SetChartSeries(Item(IDC_CHART), 1, {});
  ShowError(kReadTableFailed);
  if (IsWindow(dialog_)) EnableWindow(Item(IDC_READ_TABLE), TRUE);
}

INT_PTR GradTable::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam), code = HIWORD(wParam);
      if (id == IDC_EXIT || id == IDCANCEL) {
        EndDialog(dialog_, IDCANCEL);
        return TRUE;
      }
      if (id == IDC_SILO_NUM && code == CBN_SELCHANGE) {
        Guarded([&] { StartTransfer(true); });
        return TRUE;
      }
      if (id == IDC_HEIGHT && code == EN_CHANGE && !filling_height_) {
        Guarded([&] {
          FillLevels();
          DrawGraph();
        });
        return TRUE;
      }
      if (code == BN_CLICKED) {
        Guarded([&] { Command(id); });
        return TRUE;
      }
      break;
    }
    case WM_NOTIFY: {
      const auto* n = reinterpret_cast<const NMHDR*>(lParam);
      if (n->idFrom == IDC_HEIGHT_SPIN && n->code == UDN_DELTAPOS) {
        const auto* d = reinterpret_cast<const NMUPDOWN*>(lParam);
        Guarded([&] { SetHeight(HeightValue() + d->iDelta); });
        SetWindowLongPtrW(dialog_, DWLP_MSGRESULT, TRUE);  // the text is set here
        return TRUE;
      }
      break;
    }
    case WM_APP_TRANSFER_DONE:
      Guarded([&] { FinishTransfer(); });
      return TRUE;
    case WM_APP_CONFIG_EXIT:
      Guarded([&] {
        if (!CheckTable(config_, true)) SetFocus(config_.Window());
      });
      return TRUE;
    case WM_APP_RELEASE:
      driver_ = nullptr;
      EndDialog(dialog_, IDCANCEL);
      return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK GradTableProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  FpuScope fpu;
  auto* window = reinterpret_cast<GradTable*>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (message == WM_INITDIALOG) {
    auto* driver = reinterpret_cast<TSilo*>(lParam);
    window = new GradTable(dialog, driver);
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(window));
    RegisterOpenWindow(dialog, driver);
    return TRUE;
  }
  if (!window) return FALSE;
  if (message == WM_DESTROY) {
    UnregisterOpenWindow(dialog);
    SetWindowLongPtrW(dialog, DWLP_USER, 0);
    delete window;
    return FALSE;
  }
  return window->Handle(message, wParam, lParam);
}

}  // namespace

void ShowGradTable(HWND owner, TSilo* silo) {
  ActivationScope context;
  RegisterChartClass();
  HostFpuScope host;  // the window's loop also runs the host's windows
  DialogBoxParamW(ViewModule(), MAKEINTRESOURCEW(IDD_GRAD_TABLE), owner, &GradTableProc,
                  reinterpret_cast<LPARAM>(silo));
}

}  // namespace vr::ui::win32
