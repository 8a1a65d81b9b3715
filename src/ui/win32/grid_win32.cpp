#include "ui/win32/grid_win32.h"

#include <windows.h>
// after windows.h
#include <commctrl.h>

#include "ui/win32/win32_ui.h"

namespace vr::ui::win32 {
namespace {
// The editor lost the focus: the edit ends once its own message is done.
constexpr UINT kEditorLeft = WM_APP + 0x57;
}  // namespace

ListGrid::ListGrid(HWND list, int firstEditable, std::initializer_list<int> widths)
    : list_(list), columns_(static_cast<int>(widths.size())), first_editable_(firstEditable) {
  ListView_SetExtendedListViewStyle(list_, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  // The widths are pixels for the 8 pt dialog font (6 pixels per 4 dialog
  // units); a font of other metrics scales them as it scales the dialog.
  RECT unit{0, 0, 4, 8};
  MapDialogRect(GetParent(list_), &unit);
  int c = 0;
  for (int width : widths) {
    LVCOLUMNW column{};
    column.mask = LVCF_WIDTH | LVCF_TEXT;
    column.cx = width * (unit.right > 0 ? unit.right : 6) / 6;
    column.pszText = const_cast<wchar_t*>(L"");
    SendMessageW(list_, LVM_INSERTCOLUMNW, c++, reinterpret_cast<LPARAM>(&column));
  }
  SetWindowSubclass(list_, &ListProc, 0, reinterpret_cast<DWORD_PTR>(this));
}

ListGrid::~ListGrid() {
  EndEdit();
  if (IsWindow(list_)) RemoveWindowSubclass(list_, &ListProc, 0);
}

int ListGrid::RowCount() const {
  return static_cast<int>(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0)) + 1;
}

void ListGrid::SetRowCount(int rows) {
  const int items = rows > 1 ? rows - 1 : 0;
  int n = RowCount() - 1;
  while (n > items) SendMessageW(list_, LVM_DELETEITEM, --n, 0);
  while (n < items) {
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = n++;
    item.pszText = const_cast<wchar_t*>(L"");
    SendMessageW(list_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  }
}

std::string ListGrid::Cell(int col, int row) const {
  if (col < 0 || col >= columns_ || row < 0 || row >= RowCount()) return std::string();
  wchar_t buf[256] = {};
  if (row == 0) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT;
    column.pszText = buf;
    column.cchTextMax = 256;
    SendMessageW(list_, LVM_GETCOLUMNW, col, reinterpret_cast<LPARAM>(&column));
    return Utf8(buf);
  }
  LVITEMW item{};
  item.iSubItem = col;
  item.pszText = buf;
  item.cchTextMax = 256;
  SendMessageW(list_, LVM_GETITEMTEXTW, row - 1, reinterpret_cast<LPARAM>(&item));
  return Utf8(buf);
}

void ListGrid::SetCell(int col, int row, const std::string& text) {
  if (col < 0 || col >= columns_ || row < 0 || row >= RowCount()) return;
  std::wstring wide = Wide(text);
  if (row == 0) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT;
    column.pszText = wide.data();
    SendMessageW(list_, LVM_SETCOLUMNW, col, reinterpret_cast<LPARAM>(&column));
    return;
  }
  LVITEMW item{};
  item.iSubItem = col;
  item.pszText = wide.data();
  SendMessageW(list_, LVM_SETITEMTEXTW, row - 1, reinterpret_cast<LPARAM>(&item));
  if (editor_ && col == edit_col_ && row == edit_row_ && ControlText(editor_) != text) {
    filling_ = true;
    SetControlText(editor_, text);
    filling_ = false;
  }
}

void ListGrid::SelectRow(int row) {
  if (row < 1 || row >= RowCount()) return;
  ListView_SetItemState(list_, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  ListView_SetItemState(list_, row - 1, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  ListView_EnsureVisible(list_, row - 1, FALSE);
}

int ListGrid::SelectedRow() const {
  const int item =
      static_cast<int>(SendMessageW(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
  return item < 0 ? -1 : item + 1;
}

void ListGrid::BeginEdit(int col, int row, wchar_t typed) {
  if (editor_ || col < first_editable_ || col >= columns_ || row < 1 || row >= RowCount()) return;
  SelectRow(row);
  RECT r{};
  r.top = col;
  r.left = LVIR_LABEL;
  SendMessageW(list_, LVM_GETSUBITEMRECT, row - 1, reinterpret_cast<LPARAM>(&r));
  edit_col_ = col;
  edit_row_ = row;
  if (handlers_.beginEdit) handlers_.beginEdit(col, row);
  editor_ = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL,
                            r.left, r.top, r.right - r.left, r.bottom - r.top, list_, nullptr,
                            ViewModule(), nullptr);
  SendMessageW(editor_, WM_SETFONT, SendMessageW(list_, WM_GETFONT, 0, 0), TRUE);
  filling_ = true;
  SetControlText(editor_, Cell(col, row));
  filling_ = false;
  SetWindowSubclass(editor_, &EditorProc, 0, reinterpret_cast<DWORD_PTR>(this));
  SetFocus(editor_);
  SendMessageW(editor_, EM_SETSEL, 0, -1);
  // A typed character replaces the text, as the user's edit.
  if (typed) SendMessageW(editor_, WM_CHAR, typed, 0);
}

void ListGrid::EndEdit() {
  if (!editor_ || ending_) return;
  ending_ = true;
  HWND editor = editor_;
  editor_ = nullptr;
  edit_col_ = edit_row_ = -1;
  const bool had_focus = GetFocus() == editor;
  RemoveWindowSubclass(editor, &EditorProc, 0);
  DestroyWindow(editor);
  if (had_focus) SetFocus(list_);
  ending_ = false;
}

void ListGrid::FocusMoved(HWND to) {
  if (editor_ && to == editor_) return;
  if (editor_ && GetFocus() != editor_) EndEdit();
  if (to != list_ && handlers_.focusLeft) handlers_.focusLeft(to);
}

LRESULT CALLBACK ListGrid::ListProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                    DWORD_PTR data) {
  auto* self = reinterpret_cast<ListGrid*>(data);
  switch (message) {
    case WM_LBUTTONDBLCLK: {
      LVHITTESTINFO hit{};
      hit.pt = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      SendMessageW(w, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit));
      if (hit.iItem >= 0) self->BeginEdit(hit.iSubItem, hit.iItem + 1);
      return 0;
    }
    case WM_KEYDOWN:
      if (wParam == VK_F2 && self->SelectedRow() > 0) {
        self->BeginEdit(self->first_editable_, self->SelectedRow());
        return 0;
      }
      break;
    case WM_CHAR:
      if (wParam >= 0x20 && !self->editor_ && self->SelectedRow() > 0) {
        self->BeginEdit(self->first_editable_, self->SelectedRow(), static_cast<wchar_t>(wParam));
        return 0;
      }
      break;
    case WM_GETDLGCODE:
      return DefSubclassProc(w, message, wParam, lParam) | DLGC_WANTCHARS;
    case WM_COMMAND:
      if (self->editor_ && reinterpret_cast<HWND>(lParam) == self->editor_ &&
          HIWORD(wParam) == EN_CHANGE && !self->filling_) {
        const std::string text = ControlText(self->editor_);
        const int col = self->edit_col_, row = self->edit_row_;
        std::wstring wide = Wide(text);
        LVITEMW item{};
        item.iSubItem = col;
        item.pszText = wide.data();
        SendMessageW(w, LVM_SETITEMTEXTW, row - 1, reinterpret_cast<LPARAM>(&item));
        if (self->handlers_.textChanged) self->handlers_.textChanged(col, row, text);
        return 0;
      }
      break;
    case kEditorLeft:
      self->FocusMoved(reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_KILLFOCUS:
      if (!self->editor_ || reinterpret_cast<HWND>(wParam) != self->editor_)
        self->FocusMoved(reinterpret_cast<HWND>(wParam));
      break;
  }
  return DefSubclassProc(w, message, wParam, lParam);
}

LRESULT CALLBACK ListGrid::EditorProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                      DWORD_PTR data) {
  auto* self = reinterpret_cast<ListGrid*>(data);
  switch (message) {
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
    case WM_KEYDOWN: {
      if (self->handlers_.keyDown && self->handlers_.keyDown(static_cast<int>(wParam))) return 0;
      if (wParam == VK_RETURN || wParam == VK_ESCAPE || wParam == VK_UP || wParam == VK_DOWN) {
        const int row = self->edit_row_;
        self->EndEdit();
        if (wParam == VK_UP) self->SelectRow(row - 1);
        if (wParam == VK_DOWN) self->SelectRow(row + 1);
        return 0;
      }
      break;
    }
    case WM_CHAR:
      if (wParam == VK_RETURN || wParam == VK_ESCAPE) return 0;  // no beep
      break;
    case WM_KILLFOCUS:
      if (!self->ending_) PostMessageW(self->list_, kEditorLeft, 0, static_cast<LPARAM>(wParam));
      break;
  }
  return DefSubclassProc(w, message, wParam, lParam);
}

}  // namespace vr::ui::win32
