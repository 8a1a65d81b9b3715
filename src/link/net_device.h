#pragma once
// ISerialDevice over TCP, for a COM<n> that [Ports] maps to "tcp://HOST:PORT"
// (the bytes as they are; the line settings are accepted and do nothing) or
// "rfc2217://HOST:PORT" (Telnet with the COM-PORT-OPTION: the line settings
// and purges go to the access server, IAC is doubled both ways).
//
// The device owns one thread that alone touches the socket: it connects,
// sends the output queue, and decodes what arrives into the input queue. The
// port's threads block on a condition variable for input (WaitEvent) and for
// the output to leave (Write), so TComPort and TUrovn run over it unchanged.
//
// Connection life: the first connection is made by OpenNetDevice (3 s at
// most; failing, the port fails to open). A connection that drops is made
// again when the next request is written, at most once a second; bytes
// written while there is none are lost, as on a line without a gauge.
#include <cstdint>
#include <memory>

#include "config/port_address.h"
#include "link/serial_device.h"

namespace vr {

// Connects to `address` for COM<port>; nullptr when the connection cannot be
// made or this process holds the link of COM<port> already.
std::unique_ptr<ISerialDevice> OpenNetDevice(uint16_t port, const NetAddress& address);

}  // namespace vr
