#include "link/serial_device.h"

#include <mutex>
#include <utility>

namespace vr {
namespace {

std::mutex& FactoryMutex() {
  static std::mutex mu;
  return mu;
}

SerialDeviceFactory& Factory() {
  static SerialDeviceFactory factory;
  return factory;
}

}  // namespace

std::unique_ptr<ISerialDevice> OpenSerialDevice(uint16_t port) {
  SerialDeviceFactory factory;
  {
    std::lock_guard<std::mutex> guard(FactoryMutex());
    factory = Factory();
  }
  if (factory) return factory(port);
  return OpenPlatformSerialDevice(port);
}

void SetSerialDeviceFactory(SerialDeviceFactory factory) {
  std::lock_guard<std::mutex> guard(FactoryMutex());
  Factory() = std::move(factory);
}

}  // namespace vr
