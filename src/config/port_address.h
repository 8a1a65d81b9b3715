#pragma once
// A [Ports] value that names a network link instead of a device:
// "tcp://HOST:PORT" (raw bytes) or "rfc2217://HOST:PORT" (Telnet with the
// COM-PORT-OPTION). HOST is a name, an IPv4 address or "[IPv6]".
#include <cstdint>
#include <string>
#include <string_view>

namespace vr {

enum class NetScheme { kTcp, kRfc2217 };

struct NetAddress {
  NetScheme scheme = NetScheme::kTcp;
  std::string host;      // without the brackets of an IPv6 address
  bool numeric = false;  // the host was given as "[IPv6]"
  uint16_t port = 0;     // 1..65535
  bool operator==(const NetAddress&) const = default;
};

enum class PortForm {
  kDevice,     // not a network address: a device path (POSIX) or nothing (Windows)
  kNetwork,    // a valid network address
  kMalformed,  // starts with a network scheme but is not a valid address
};

// Classifies a [Ports] value; fills `address` for kNetwork. Pure.
PortForm ParsePortAddress(std::string_view value, NetAddress& address);

}  // namespace vr
