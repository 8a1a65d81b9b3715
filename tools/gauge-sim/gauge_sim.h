#pragma once
// The whole gauge simulator, for code that uses all of it; one header per
// part: simulator.h, tank_file.h and, on POSIX, pty_gauge.h and tcp_gauge.h.
#include "simulator.h"
#include "tank_file.h"
#ifndef _WIN32
#include "pty_gauge.h"
#include "tcp_gauge.h"
#endif
