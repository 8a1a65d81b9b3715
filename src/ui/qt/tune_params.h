#pragma once
// The settings dialog (refresh period, connection type) and the item that the
// driver adds to the host's settings menu.
#include <QDialog>
#include <QFrame>
#include <QPushButton>
#include <QString>

class QComboBox;
class QLabel;

namespace vr {
class TSilo;
}

namespace vr::ui {

class TRxSpinEdit;

class TfmTuneParams : public QDialog {
  Q_OBJECT
 public:
  explicit TfmTuneParams(QWidget* parent = nullptr);

  QLabel* Label16;
  QLabel* Label17;
  QFrame* Bevel1;
  TRxSpinEdit* seCriticalTime;
  QComboBox* cbConnetionType;
  QPushButton* bbtSave;
  QPushButton* bbtCancel;
  QPushButton* bbtGrad;

  // The driver whose settings are shown; not owned.
  TSilo* Driver = nullptr;

  void FormShow();
  // Writes both keys, applies the period and the connection type, closes.
  void bbtSaveClick();
  // Opens the calibration-table window for the same driver.
  void bbtGradClick();

 protected:
  void showEvent(QShowEvent* event) override;
};

// Slot 15's work: menu is the host's QMenuBar or QMenu as a QWidget*. Appends
// the settings item to the submenu of the first action captioned exactly
// "&Настройка"; nothing when there is none.
void AddSettingsMenuItem(TSilo* silo, void* menu);
// A driver object is going away: waits for its calibration transfers to leave
// the driver, closes its windows and removes its menu item.
void ReleaseDriver(TSilo* silo);
// Opens the settings dialog for the driver (the item's click).
void SettingsItemClick(TSilo* silo);

// Centres a window on the screen it would appear on.
void CenterOnScreen(QWidget* window);

}  // namespace vr::ui
