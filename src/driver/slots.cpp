// The host-facing class table: plain functions with the host's calling
// conventions that forward to the driver object. No exception leaves them,
// and each computes under the library's floating-point settings.
#include <cstddef>
#include <exception>

#include "common/application.h"
#include "common/fpu.h"
#include "driver/class_table.h"
#include "driver/silo.h"

namespace vr {
namespace {

// Reports an error that cannot travel back through the C interface.
void Report(const std::exception& e) {
  App().ReportError(e.what());
}

TSilo* Self(VrSilo* obj) {
  return TSilo::FromHost(obj);
}

// Destroy (class entry -1, register convention): the host's object model
// passes an "outermost" flag; the object is released whatever it says.
void VRSILO_REGISTER Destroy(VrSilo* obj, uint8_t) {
  FpuScope fpu;
  try {
    delete Self(obj);
  } catch (...) {
  }
}

// Slots 0 and 1 have no behaviour; a call must not harm the host.
void VRSILO_CALL Abstract(VrSilo*) {}

void VRSILO_CALL GetIdentitySlot(char* buffer40, VrSilo*) {
  FpuScope fpu;
  TSilo::GetIdentity(buffer40);
}
void VRSILO_CALL SetLinkStateSlot(VrSilo* obj, uint32_t state) {
  FpuScope fpu;
  Self(obj)->SetLinkState(static_cast<uint8_t>(state));
}
uint32_t VRSILO_CALL GetLinkStateSlot(VrSilo* obj) {
  FpuScope fpu;
  return Self(obj)->GetLinkState();
}

void VRSILO_CALL OpenCommBlockSlot(VrSilo* obj, uint32_t) {
  FpuScope fpu;
  try {
    Self(obj)->OpenCommBlock();
  } catch (const std::exception& e) {
    Report(e);
  }
}

void VRSILO_CALL Reserved0(VrSilo*) {}
void VRSILO_CALL Reserved1(VrSilo*, uint32_t) {}
void VRSILO_CALL Reserved2(VrSilo*, uint32_t, uint32_t) {}

double VRSILO_CALL GetLevelSlot(VrSilo* obj, uint32_t i) {
  FpuScope fpu;
  try {
    return Self(obj)->GetLevel(i & 0xFF);
  } catch (const std::exception& e) {
    Report(e);
    return 0.0;
  }
}

void VRSILO_CALL GetTemperaturesSlot(VrSilo* obj, uint32_t i, double* out4) {
  FpuScope fpu;
  try {
    Self(obj)->GetTemperatures(i & 0xFF, out4);
  } catch (const std::exception& e) {
    if (out4)
      for (int k = 0; k < 4; ++k) out4[k] = 0.0;
    Report(e);
  }
}

uint32_t VRSILO_CALL GetWaterSlot(VrSilo* obj, uint32_t i) {
  FpuScope fpu;
  try {
    return Self(obj)->GetWater(i & 0xFF);
  } catch (const std::exception& e) {
    Report(e);
    return 0;
  }
}

double VRSILO_CALL GetDensitySlot(VrSilo* obj, uint32_t i) {
  FpuScope fpu;
  try {
    return Self(obj)->GetDensity(i & 0xFF);
  } catch (const std::exception& e) {
    Report(e);
    return kDefaultDensity;
  }
}

double VRSILO_CALL GetVolumeSlot(VrSilo* obj, uint32_t i) {
  FpuScope fpu;
  try {
    return Self(obj)->GetVolume(i & 0xFF);
  } catch (const std::exception& e) {
    Report(e);
    return 0.0;
  }
}

void VRSILO_CALL AddMenuItemSlot(VrSilo* obj, void* menu, uint32_t) {
  FpuScope fpu;
  try {
    Self(obj)->AddMenuItem(menu);
  } catch (const std::exception& e) {
    Report(e);
  }
}

int32_t VRSILO_CALL ReadCalibrationSlot(VrSilo* obj, uint32_t n, int32_t* height,
                                        VrCalibrationPoints* points) {
  FpuScope fpu;
  try {
    return Self(obj)->ReadCalibrationTable(n & 0xFF, height, points ? points->bytes : nullptr);
  } catch (const std::exception& e) {
    Report(e);
    return -1;
  }
}

int32_t VRSILO_CALL WriteCalibrationSlot(VrSilo* obj, uint32_t n, int32_t height,
                                         const VrCalibrationPoints* points) {
  FpuScope fpu;
  try {
    return Self(obj)->WriteCalibrationTable(n & 0xFF, height, points ? points->bytes : nullptr);
  } catch (const std::exception& e) {
    Report(e);
    return -1;
  }
}

// Written out at each slot (not through a helper function) so that the
// compiler fills the table at build time: it lives in the image, complete
// before any code of the library has run.
#define VR_SLOT(f) reinterpret_cast<VrSlotFn>(&f)

constexpr unsigned char kSiloName[] = "\x05TSilo";

const ClassTable<VRSILO_SLOT_COUNT> kSiloClass = {
    StandardHeader(kSiloClass.slots, kSiloName, sizeof(TSilo), &kRootClassPointer, &Destroy),
    {
        VR_SLOT(Abstract),
        VR_SLOT(Abstract),
        VR_SLOT(GetIdentitySlot),
        VR_SLOT(SetLinkStateSlot),
        VR_SLOT(GetLinkStateSlot),
        VR_SLOT(OpenCommBlockSlot),
        VR_SLOT(Reserved0),
        VR_SLOT(Reserved1),
        VR_SLOT(Reserved0),
        VR_SLOT(GetLevelSlot),
        VR_SLOT(GetTemperaturesSlot),
        VR_SLOT(GetWaterSlot),
        VR_SLOT(GetDensitySlot),
        VR_SLOT(Reserved2),
        VR_SLOT(GetVolumeSlot),
        VR_SLOT(AddMenuItemSlot),
        VR_SLOT(ReadCalibrationSlot),
        VR_SLOT(WriteCalibrationSlot),
    },
};
#undef VR_SLOT

}  // namespace

const VrSlotFn* SiloSlotTable() {
  return kSiloClass.slots;
}

}  // namespace vr
