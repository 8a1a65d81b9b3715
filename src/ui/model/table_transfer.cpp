#include "ui/model/table_transfer.h"

#include <condition_variable>
#include <map>
#include <mutex>

#include "protocol/extended.h"

namespace vr::ui {
namespace {

std::mutex g_busy_mu;
std::condition_variable g_busy_cv;
std::map<const TSilo*, int> g_busy;

uint8_t* Point(VrCalibrationPoints& p, int row) {
  return p.bytes + VRSILO_EXTENDED_SIZE * (row - 1);
}

}  // namespace

void TableToPoints(const CellTable& table, const NumberFormat& format, VrCalibrationPoints& out) {
  for (int r = 1; r <= VRSILO_CALIBRATION_POINTS; ++r)
    DoubleToExtended(format.ToFloat(table.Cell(kVolumeCol, r)), Point(out, r));
}

void PointsToTable(const VrCalibrationPoints& points, CellTable& table) {
  for (int r = 1; r <= VRSILO_CALIBRATION_POINTS; ++r)
    table.SetCell(kVolumeCol, r,
                  FormatWhole(ExtendedToDouble(points.bytes + VRSILO_EXTENDED_SIZE * (r - 1))));
}

void ClearTables(CellTable& table, CellTable& config) {
  for (int r = 1; r <= kGaugeRows; ++r) ClearRow(table, r);
  config.SetRowCount(2);
  ClearRow(config, 1);
}

void BeginDriverUse(const TSilo* silo) {
  std::lock_guard<std::mutex> lock(g_busy_mu);
  ++g_busy[silo];
}

void EndDriverUse(const TSilo* silo) {
  {
    std::lock_guard<std::mutex> lock(g_busy_mu);
    if (--g_busy[silo] == 0) g_busy.erase(silo);
  }
  g_busy_cv.notify_all();
}

void WaitDriverIdle(const TSilo* silo) {
  std::unique_lock<std::mutex> lock(g_busy_mu);
  g_busy_cv.wait(lock, [silo] { return g_busy.find(silo) == g_busy.end(); });
}

}  // namespace vr::ui
