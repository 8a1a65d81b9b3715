#include "link/serial_device.h"

#include <mutex>
#include <utility>

#include "config/port_address.h"
#include "config/settings.h"
#include "link/net_device.h"

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
  NetAddress address;
  switch (ParsePortAddress(PortSetting(port), address)) {
    case PortForm::kNetwork:
      return OpenNetDevice(port, address);
    case PortForm::kMalformed:
      return nullptr;  // fails like a missing port
    case PortForm::kDevice:
      break;
  }
  return OpenPlatformSerialDevice(port);
}

void SetSerialDeviceFactory(SerialDeviceFactory factory) {
  std::lock_guard<std::mutex> guard(FactoryMutex());
  Factory() = std::move(factory);
}

}  // namespace vr
