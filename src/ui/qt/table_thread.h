#pragma once
// One short-lived worker per read or write of a gauge's calibration table: the
// preparing and finishing steps run on the user-interface thread while the
// worker waits, the driver call runs on the worker.
#include <QPointer>
#include <QThread>
#include <cstdint>
#include <functional>

#include "ui/model/table_transfer.h"
#include "vrsilo.h"

namespace vr {
class TSilo;
}

namespace vr::ui {

class TfmGradTable;

class TTableThread : public QThread {
  Q_OBJECT
 public:
  TTableThread();
  ~TTableThread() override;

  uint8_t SiloNum = 0;
  int32_t TankHeight = 0;
  VrCalibrationPoints Volumes{};
  int32_t TransferResult = 0;
  bool ReadMode = true;
  // The window that started the request; null once it has been destroyed.
  QPointer<TfmGradTable> Form;
  TSilo* Driver = nullptr;

  // Transfer threads that exist (started and not yet freed).
  static int Existing();

 protected:
  void run() override;  // the thread's Execute

 private:
  void PrepareTransfer();
  void FinishTransfer();
  void ReadSucceeded(TfmGradTable* form);
  void ReadFailed(TfmGradTable* form);
  // Runs step on the user-interface thread and waits for it.
  static void RunOnUiThread(const std::function<void()>& step);

  bool transfer_ = false;  // the preparing step handed the request to the driver
};

}  // namespace vr::ui
