// Win32 backend of ISerialDevice: not written yet (a later issue). Each
// operation of ISerialDevice maps to the Win32 call named beside it in
// serial_device.h. Until then no port opens on Windows.
#include "link/serial_device.h"

namespace vr {

std::unique_ptr<ISerialDevice> OpenPlatformSerialDevice(uint16_t /*port*/) {
  return nullptr;
}

}  // namespace vr
