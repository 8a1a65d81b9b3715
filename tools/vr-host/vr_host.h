#pragma once
// Shared by the reference host's console and window modes.
#include <string>

#include "driver_library.h"

struct GuiOptions {
  int port = 0;   // GetSiloEx3 with COM<port>
  int block = 0;  // GetSiloEx3 with block No. <block>
  int first = 1, last = 16;
  // When set: after the first refresh, open the driver's windows one after the
  // other, save pictures of them into this directory and quit.
  std::string screenshots;
};

// The host's main window: a menu bar with "&Настройка" handed to slot 15 and
// the tank table refreshed every second off the user-interface thread.
// Returns the program's exit status; destroys the driver object.
int RunGui(int& argc, char** argv, const vr::tools::DriverLibrary& library,
           const GuiOptions& options);
