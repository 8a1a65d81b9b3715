// The settings dialog (refresh period, connection type) as a Win32 dialog.
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <optional>

#include "common/fpu.h"
#include "ui/model/tune_params_model.h"
#include "ui/win32/resource_ids.h"
#include "ui/win32/views.h"
#include "ui/win32/win32_ui.h"

namespace vr::ui::win32 {
namespace {

constexpr int kMinSeconds = 0, kMaxSeconds = 600;

struct TuneParams {
  TSilo* driver = nullptr;
};

// The spin field's value: its number limited to the range; an empty or
// unreadable text has the minimum.
double SpinValue(HWND dialog) {
  BOOL ok = FALSE;
  const UINT v = GetDlgItemInt(dialog, IDC_CRITICAL_TIME, &ok, FALSE);
  if (!ok) return kMinSeconds;
  return v > static_cast<UINT>(kMaxSeconds) ? kMaxSeconds : static_cast<double>(v);
}

void InitDialog(HWND dialog, TuneParams* state) {
  SetControlText(dialog, "Параметры Veeder-Root");
  SetControlText(GetDlgItem(dialog, IDC_LABEL16), "Период обновления измеренных параметров, с:");
  SetControlText(GetDlgItem(dialog, IDC_LABEL17), "Уровнемер подключен к:");
  const struct {
    int id;
    const char* caption;
    Glyph glyph;
  } buttons[] = {{IDOK, "OK", Glyph::kCheck},
                 {IDCANCEL, "Отмена", Glyph::kCross},
                 {IDC_GRAD, "Градуировка", Glyph::kTableWindow}};
  for (const auto& b : buttons) {
    SetControlText(GetDlgItem(dialog, b.id), b.caption);
    SetButtonGlyph(GetDlgItem(dialog, b.id), b.glyph);
  }
  SendDlgItemMessageW(dialog, IDC_CRITICAL_TIME_SPIN, UDM_SETRANGE32, kMinSeconds, kMaxSeconds);
  SetDlgItemInt(dialog, IDC_CRITICAL_TIME, 0, FALSE);
  HWND combo = GetDlgItem(dialog, IDC_CONNECTION_TYPE);
  for (const char* name : kConnectionNames)
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(name).c_str()));
  // FormShow: the running object's values.
  if (!state->driver) return;
  const TuneParamsValues shown = ShownTuneParams(*state->driver);
  SetDlgItemInt(dialog, IDC_CRITICAL_TIME, static_cast<UINT>(shown.seconds), FALSE);
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(shown.connectionIndex), 0);
}

INT_PTR CALLBACK TuneParamsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  FpuScope fpu;
  auto* state = reinterpret_cast<TuneParams*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      state = reinterpret_cast<TuneParams*>(lParam);
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      RegisterOpenWindow(dialog, state->driver);
      Guarded([&] { InitDialog(dialog, state); });
      return TRUE;
    case WM_APP_RELEASE:
      state->driver = nullptr;
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          Guarded([&] {
            // A refused write raises: nothing is applied and the dialog stays.
            const int index = static_cast<int>(
                SendDlgItemMessageW(dialog, IDC_CONNECTION_TYPE, CB_GETCURSEL, 0, 0));
            SaveTuneParams(state->driver, index, SpinValue(dialog));
            EndDialog(dialog, IDOK);
          });
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        case IDC_GRAD:
          Guarded([&] { ShowGradTable(dialog, state->driver); });
          return TRUE;
      }
      break;
    case WM_DESTROY:
      UnregisterOpenWindow(dialog);
      break;
  }
  return FALSE;
}

}  // namespace

void ShowTuneParams(HWND owner, TSilo* silo) {
  ActivationScope context;
  TuneParams state{silo};
  HostFpuScope host;  // the dialog's loop also runs the host's windows
  DialogBoxParamW(ViewModule(), MAKEINTRESOURCEW(IDD_TUNE_PARAMS), owner, &TuneParamsProc,
                  reinterpret_cast<LPARAM>(&state));
}

}  // namespace vr::ui::win32
