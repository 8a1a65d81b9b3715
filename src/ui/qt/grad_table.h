#pragma once
// The calibration-table window: the gauge table (20 points over the tank's
// height) beside a comparison table from the settings file or a "*.tar" file,
// a chart of both, interpolation and copying between them, and the transfers
// of the gauge table to and from the gauge.
#include <QDialog>
#include <QFrame>
#include <QPushButton>
#include <QString>
#include <string>

#include "ui/model/grad_table_model.h"
#include "ui/model/table_file.h"
#include "ui/qt/file_dialogs.h"

class QComboBox;
class QLabel;
class QLineSeries;
class QChartView;
class QGraphicsSimpleTextItem;

namespace vr {
class TSilo;
}

namespace vr::ui {

class TRxSpinEdit;
class TStringGrid;
class TTableThread;

// The text a cell had when its editing began (shared by both grids).
extern QString SavedEditText;

class TfmGradTable : public QDialog {
  Q_OBJECT
 public:
  explicit TfmGradTable(QWidget* parent = nullptr);
  ~TfmGradTable() override;

  QLabel* Label19;
  QComboBox* cbSiloNum2;
  TStringGrid* sgTable;
  QPushButton* bbtWriteTable;
  QPushButton* bbtReadTable;
  TStringGrid* sgConfig;
  QPushButton* bbtWriteConfig;
  QPushButton* bbtReadConfig;
  QPushButton* bbtSetConfig;
  QPushButton* bbtSetTable;
  QChartView* Chart1;
  QLineSeries* Series1;
  QLineSeries* Series2;
  QLabel* Label4;
  QLabel* Label5;
  QPushButton* bbtOpenFile;
  QPushButton* bbtSaveFile;
  TFileDialog OpenDialog1;
  TFileDialog SaveDialog1;
  QPushButton* BitBtn1;
  QLabel* Label22;
  TRxSpinEdit* seH;
  QFrame* Bevel3;

  // The driver the window reads and writes; not owned.
  TSilo* Driver = nullptr;

  // --- handlers ---
  void FormShow();
  void cbSiloNum2Change();
  void bbtReadTableClick();
  void bbtWriteTableClick();
  void seHChange();
  void sgTableGetEditText(TStringGrid* grid, int col, int row);
  void sgTableSetEditText(TStringGrid* grid, int col, int row, const QString& value);
  bool sgTableKeyDown(TStringGrid* grid, int key);
  void sgConfigExit();
  void bbtSetTableClick();
  void bbtSetConfigClick();
  void bbtReadConfigClick();
  void bbtWriteConfigClick();
  void bbtOpenFileClick();
  void bbtSaveFileClick();

  // --- operations ---
  void GradAccessOnOff(bool value);
  // Row numbers and levels (cm) of the gauge table from the tank height.
  void FillLevels();
  // Both series from the grids; nothing while either grid fails its check.
  // A level cell that is not a number raises EConvertError.
  void DrawGraph();
  // The volume column: row 1 a number, the following ones numbers not below
  // their predecessor. On failure with report: message, row made current.
  bool CheckTable(TStringGrid* grid, bool report);
  // The comparison table to and from a list section of an INI-style file.
  void SaveToIni(const std::string& fileName, const std::string& section, Units units);
  void LoadFromIni(const std::string& fileName, const std::string& section, Units units);

  // Starts a read (true) or a write (false) of the gauge table.
  void StartTransfer(bool readMode);

 signals:
  // A transfer's finishing step has run in this window.
  void TransferFinished();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  friend class TTableThread;
  void BuildChart();
  void UpdateAxes();
  void ShowTableError(TStringGrid* grid, int row, const char* text);
  void OnFocusChanged(QWidget* old, QWidget* now);
  // Runs a handler; a failure escaping it is reported as the runtime would.
  template <typename F>
  void Guarded(F&& handler);

  QGraphicsSimpleTextItem* left_axis_title_ = nullptr;
  bool shown_ = false;
};

}  // namespace vr::ui
