#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/settings.h"

namespace vr {

std::string WindowsDirectory() {
  const char* windir = std::getenv("WINDIR");
  if (windir && *windir) return windir;
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.config/vrsilo";
  return "/tmp/vrsilo";
}

std::string SettingsFilePath() {
  std::string dir = WindowsDirectory();
  if (!dir.ends_with('/')) dir += '/';
  return dir + kSettingsFileName;
}

void PrepareSettingsDirectory() {
  std::error_code ec;
  std::filesystem::create_directories(WindowsDirectory(), ec);
}

std::string SerialDevicePath(uint16_t port) {
  std::string device = PortSetting(port);
  if (!device.empty()) return device;
  // COM0 has no device; "/dev/ttyS-1" fails to open as COM0 does on Windows.
  return "/dev/ttyS" + std::to_string(static_cast<int>(port) - 1);
}

}  // namespace vr
