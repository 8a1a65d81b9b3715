#include "ui/qt/table_thread.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLineSeries>
#include <atomic>
#include <exception>
#include <functional>

#include "common/application.h"
#include "common/rounding.h"
#include "config/ini_file.h"
#include "config/settings.h"
#include "driver/silo.h"
#include "ui/model/table_transfer.h"
#include "ui/qt/grad_table.h"
#include "ui/qt/widgets.h"

namespace vr::ui {
namespace {

std::atomic<int> g_existing{0};

}  // namespace

TTableThread::TTableThread() {
  ++g_existing;
}
TTableThread::~TTableThread() {
  --g_existing;
}
int TTableThread::Existing() {
  return g_existing.load();
}

void TTableThread::RunOnUiThread(const std::function<void()>& step) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  if (QThread::currentThread() == app->thread()) {
    step();
    return;
  }
  QMetaObject::invokeMethod(app, step, Qt::BlockingQueuedConnection);
}

void TTableThread::run() {
  RunOnUiThread([this] { PrepareTransfer(); });
  if (transfer_) {
    // Whatever the driver call does, the finishing step follows.
    try {
      TransferResult = ReadMode ? Driver->ReadCalibrationTable(SiloNum, &TankHeight, Volumes.bytes)
                                : Driver->WriteCalibrationTable(SiloNum, TankHeight, Volumes.bytes);
    } catch (...) {
      TransferResult = -1;
    }
    EndDriverUse(Driver);
  } else {
    TransferResult = -1;
  }
  RunOnUiThread([this] { FinishTransfer(); });
}

void TTableThread::PrepareTransfer() {
  TfmGradTable* form = Form.data();
  if (!form) return;  // the window is gone: nothing to transfer
  form->GradAccessOnOff(false);
  form->cbSiloNum2->repaint();
  SiloNum = static_cast<uint8_t>(form->cbSiloNum2->currentIndex() + 1);
  if (!ReadMode) {
    try {
      TankHeight = RoundToInt32(form->seH->Value());
      TableToPoints(GridCells(form->sgTable), LocaleFormat(), Volumes);
    } catch (const std::exception& e) {
      App().ReportError(e.what());
      return;  // reported as a failed write, the window unlocked again
    }
  }
  // A driver that the window no longer has is being destroyed.
  if (!Driver || form->Driver != Driver) return;
  BeginDriverUse(Driver);
  transfer_ = true;
}

void TTableThread::FinishTransfer() {
  TfmGradTable* form = Form.data();
  if (!form) return;  // closed meanwhile: nothing to show
  try {
    if (ReadMode) {
      if (TransferResult == 0)
        ReadSucceeded(form);
      else
        ReadFailed(form);
    } else {
      form->GradAccessOnOff(true);
      if (TransferResult != 0) App().ShowMessage(kWriteTableFailed, "Ошибка", MB_OK | MB_ICONERROR);
    }
  } catch (const std::exception& e) {
    App().ReportError(e.what());
  }
  if (TfmGradTable* still = Form.data()) emit still->TransferFinished();
}

void TTableThread::ReadSucceeded(TfmGradTable* form) {
  form->GradAccessOnOff(true);
  form->seH->SetValue(TankHeight);
  form->Series1->clear();
  GridCells table(form->sgTable);
  PointsToTable(Volumes, table);
  try {
    const std::string path = SettingsFilePath();
    if (FileExists(path))
      form->LoadFromIni(path, SettingsSection(form->cbSiloNum2->currentIndex()), Units::kSettings);
  } catch (...) {
    // The gauge table is shown even when the stored one cannot be.
  }
  form->FillLevels();
  form->DrawGraph();
  form->bbtReadTable->setEnabled(true);
  form->repaint();
}

void TTableThread::ReadFailed(TfmGradTable* form) {
  form->seH->SetText(QString());
  form->cbSiloNum2->setEnabled(true);
  GridCells table(form->sgTable), config(form->sgConfig);
  ClearTables(table, config);
  form->Series1->clear();
  form->Series2->clear();
  App().ShowMessage(kReadTableFailed, "Ошибка", MB_OK | MB_ICONERROR);
  // The message box runs events: the window may have gone meanwhile.
  if (TfmGradTable* still = Form.data()) {
    still->bbtReadTable->setEnabled(true);
    still->repaint();
  }
}

}  // namespace vr::ui
