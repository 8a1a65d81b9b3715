// The raw TCP kind of network device: the bytes go as they are, and the line
// settings and purges concern only the device itself.
#include "link/net_device.h"

namespace vr {
namespace {

class TcpDevice final : public NetDevice {
 public:
  TcpDevice(uint16_t port, const NetAddress& address) : NetDevice(port, address) {}
  ~TcpDevice() override { Stop(); }
};

}  // namespace

std::unique_ptr<NetDevice> MakeTcpDevice(uint16_t port, const NetAddress& address) {
  return std::make_unique<TcpDevice>(port, address);
}

}  // namespace vr
