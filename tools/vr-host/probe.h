#pragma once
// vr-host --probe: looks for the gauge on COM1..COM6 and on extra addresses,
// one port after the other, and prints one verdict per port.
#include <string>
#include <vector>

// Probes COM1..COM6 as the settings file maps them, then each address (given
// COM7, COM8, ... in a temporary copy of the settings file). Returns 0 when a
// gauge answered on some port, 1 otherwise.
int RunProbe(const std::vector<std::string>& addresses);
