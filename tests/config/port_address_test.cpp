// [Ports] values that name a network link, and those that do not.
#include "config/port_address.h"

#include <gtest/gtest.h>

namespace vr {
namespace {

TEST(PortAddress, Table) {
  const NetScheme tcp = NetScheme::kTcp;
  const NetScheme rfc = NetScheme::kRfc2217;
  const struct {
    const char* value;
    PortForm form;
    NetAddress address;
  } cases[] = {
      {"tcp://gauge.example:4001", PortForm::kNetwork, {tcp, "gauge.example", false, 4001}},
      {"RFC2217://10.0.0.7:2217", PortForm::kNetwork, {rfc, "10.0.0.7", false, 2217}},
      {"rfc2217://[::1]:65535", PortForm::kNetwork, {rfc, "::1", true, 65535}},
      {"tcp://[fe80::1:2]:1", PortForm::kNetwork, {tcp, "fe80::1:2", true, 1}},
      {"/dev/ttyUSB0", PortForm::kDevice, {}},
      {"", PortForm::kDevice, {}},
      {"udp://host:1", PortForm::kDevice, {}},
      {"tcp://host", PortForm::kMalformed, {}},
      {"tcp://host:", PortForm::kMalformed, {}},
      {"tcp://host:0", PortForm::kMalformed, {}},
      {"tcp://host:65536", PortForm::kMalformed, {}},
      {"tcp://host:123456", PortForm::kMalformed, {}},
      {"tcp://host:-5", PortForm::kMalformed, {}},
      {"tcp://host:80/x", PortForm::kMalformed, {}},
      {"tcp://:80", PortForm::kMalformed, {}},
      {"tcp://::1:80", PortForm::kMalformed, {}},
      {"tcp://[::1:80", PortForm::kMalformed, {}},
      {"tcp://[host]:80", PortForm::kMalformed, {}},
      {"tcp://[::1]80", PortForm::kMalformed, {}},
      {"rfc2217://ho st:80", PortForm::kMalformed, {}},
  };
  for (const auto& c : cases) {
    NetAddress address;
    EXPECT_EQ(ParsePortAddress(c.value, address), c.form) << c.value;
    if (c.form == PortForm::kNetwork) {
      EXPECT_EQ(address, c.address) << c.value;
    }
  }
}

}  // namespace
}  // namespace vr
