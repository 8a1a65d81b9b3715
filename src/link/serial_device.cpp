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

std::unique_ptr<ISerialDevice> OpenSerialDeviceAt(const std::string& address) {
  if (address.size() > 3 && address.compare(0, 3, "COM") == 0 &&
      address.find_first_not_of("0123456789", 3) == std::string::npos && address.size() <= 6) {
    const unsigned long n = std::stoul(address.substr(3));
    return n >= 1 && n <= 0xFFFF ? OpenSerialDevice(static_cast<uint16_t>(n)) : nullptr;
  }
  NetAddress net;
  switch (ParsePortAddress(address, net)) {
    case PortForm::kNetwork:
      return OpenNetDevice(0, net);
    case PortForm::kMalformed:
      return nullptr;
    case PortForm::kDevice:
      break;
  }
  return OpenPlatformSerialDeviceAt(address);
}

void SetSerialDeviceFactory(SerialDeviceFactory factory) {
  std::lock_guard<std::mutex> guard(FactoryMutex());
  Factory() = std::move(factory);
}

}  // namespace vr
