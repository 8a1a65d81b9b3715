#pragma once
// The calibration window's grids: report-mode list views whose header is row
// 0 and whose items are rows 1.., with editing in place of the cells of the
// columns from `firstEditable` on (F2, a double click or typing starts it).
#include <windows.h>

#include <functional>
#include <string>

#include "ui/model/grad_table_model.h"

namespace vr::ui::win32 {

struct GridHandlers {
  std::function<void(int col, int row)> beginEdit;  // editing of a cell begins
  // The cell being edited already holds the editor's new text.
  std::function<void(int col, int row, const std::string& text)> textChanged;
  std::function<bool(int key)> keyDown;  // true: the key was handled
  // The focus moved from the grid (or its editor) to `to`.
  std::function<void(HWND to)> focusLeft;
};

class ListGrid : public CellTable {
 public:
  ListGrid(HWND list, int firstEditable, std::initializer_list<int> widths);
  ~ListGrid() override;
  ListGrid(const ListGrid&) = delete;
  ListGrid& operator=(const ListGrid&) = delete;

  HWND Window() const { return list_; }
  int RowCount() const override;
  void SetRowCount(int rows) override;
  std::string Cell(int col, int row) const override;
  void SetCell(int col, int row, const std::string& text) override;

  void SetHandlers(GridHandlers h) { handlers_ = std::move(h); }
  // Makes the row current and visible.
  void SelectRow(int row);
  int SelectedRow() const;

  bool Editing() const { return editor_ != nullptr; }
  int EditCol() const { return edit_col_; }
  int EditRow() const { return edit_row_; }
  HWND Editor() const { return editor_; }
  // Starts editing; with `typed`, the editor starts with that character.
  void BeginEdit(int col, int row, wchar_t typed = 0);
  // Ends the edit; the cell keeps what it holds.
  void EndEdit();

 private:
  static LRESULT CALLBACK ListProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  static LRESULT CALLBACK EditorProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  void FocusMoved(HWND to);

  HWND list_;
  int columns_;
  int first_editable_;
  GridHandlers handlers_;
  HWND editor_ = nullptr;
  int edit_col_ = -1, edit_row_ = -1;
  bool ending_ = false, filling_ = false;
};

}  // namespace vr::ui::win32
