#pragma once
// The data steps of a calibration-table transfer, shared by the Qt and Win32
// windows: the gauge table to and from the driver's points, and the registry
// of transfers inside a driver call, which lets the driver object wait for
// them before it goes away.
#include "ui/model/grad_table_model.h"
#include "vrsilo.h"

namespace vr {
class TSilo;
}

namespace vr::ui {

// The gauge table's volumes as the driver writes them. A volume that is not a
// number raises EConvertError.
void TableToPoints(const CellTable& table, const NumberFormat& format, VrCalibrationPoints& out);
// After a read: the volume column from the driver's points (whole litres).
void PointsToTable(const VrCalibrationPoints& points, CellTable& table);
// After a failed read: both tables empty, the comparison table with one row.
void ClearTables(CellTable& table, CellTable& config);

// A transfer enters and leaves a call of the driver object.
void BeginDriverUse(const TSilo* silo);
void EndDriverUse(const TSilo* silo);
// Blocks until no transfer is inside a call of this driver object (so the
// object can be destroyed). Transfers registered later are refused by their
// preparing step once the window has dropped its driver.
void WaitDriverIdle(const TSilo* silo);

}  // namespace vr::ui
