#pragma once
#include <cstdint>
#include <string>

namespace vr {

inline constexpr const char* kSettingsFileName = "cnf.INI";
inline constexpr const char* kSectionVeederRoot = "VeederRoot";
inline constexpr const char* kKeyConnectionType = "ConnectionType";
inline constexpr const char* kKeyCriticalUpdateTime = "CriticalUpdateTime";
inline constexpr const char* kKeyRefreshAllTanks = "RefreshAllTanks";
inline constexpr const char* kKeyTraceFile = "TraceFile";
inline constexpr int32_t kDefaultConnectionType = 0;
inline constexpr int32_t kDefaultUpdateSeconds = 30;
inline constexpr const char* kSectionPorts = "Ports";

// The Windows directory: GetWindowsDirectoryA on Windows; on POSIX the
// environment variable WINDIR when set and not empty, else $HOME/.config/vrsilo
// (or /tmp/vrsilo without HOME).
std::string WindowsDirectory();
// Windows directory + "\cnf.INI" ("/cnf.INI" on POSIX).
std::string SettingsFilePath();
// Creates the settings file's directory when it is missing (POSIX, where it
// may be a fresh ~/.config/vrsilo); nothing on Windows. Failures are left to
// the write that follows.
void PrepareSettingsDirectory();

// "ConnectionType" from the settings file, its low 8 bits.
uint8_t ReadConnectionType();
// "CriticalUpdateTime" in seconds (default 30).
int32_t ReadUpdateSeconds();
// "RefreshAllTanks": 1 asks the gauge for every tank in one request (default 0).
bool ReadRefreshAllTanks();
// "TraceFile": where the exchange trace goes (empty: no trace).
std::string ReadTraceFile();
// Writes both keys in one update of the file (throws EIniWrite).
void WriteVeederRootSettings(int32_t connectionType, int32_t updateSeconds);

// [Ports] "COM<n>" as the settings file holds it ("" when absent), on every
// platform: a device path or a network address (config/port_address.h).
std::string PortSetting(uint16_t port);
// Device path of serial port n on POSIX: PortSetting(n), else /dev/ttyS<n-1>.
// On Windows "\\.\COM<n>".
std::string SerialDevicePath(uint16_t port);

}  // namespace vr
