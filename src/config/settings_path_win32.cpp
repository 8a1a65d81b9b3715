#include <windows.h>

#include <string>

#include "config/settings.h"

namespace vr {

std::string WindowsDirectory() {
  char buf[255];
  UINT n = GetWindowsDirectoryA(buf, sizeof buf);
  // A directory that does not fit the buffer is not handled: n is then the
  // size needed and the buffer holds nothing usable.
  if (n == 0 || n >= sizeof buf) return std::string();
  return std::string(buf, n);
}

std::string SettingsFilePath() {
  return WindowsDirectory() + "\\" + kSettingsFileName;
}

void PrepareSettingsDirectory() {}

std::string SerialDevicePath(uint16_t port) {
  return "\\\\.\\COM" + std::to_string(port);
}

}  // namespace vr
