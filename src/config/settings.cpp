#include "config/settings.h"

#include "config/ini_file.h"

namespace vr {

// Every call opens the file for one operation: nothing is cached.

uint8_t ReadConnectionType() {
  IniFile ini(SettingsFilePath());
  return static_cast<uint8_t>(
      ini.ReadInteger(kSectionVeederRoot, kKeyConnectionType, kDefaultConnectionType) & 0xFF);
}

int32_t ReadUpdateSeconds() {
  IniFile ini(SettingsFilePath());
  return ini.ReadInteger(kSectionVeederRoot, kKeyCriticalUpdateTime, kDefaultUpdateSeconds);
}

bool ReadRefreshAllTanks() {
  IniFile ini(SettingsFilePath());
  return ini.ReadInteger(kSectionVeederRoot, kKeyRefreshAllTanks, 0) != 0;
}

std::string ReadTraceFile() {
  IniFile ini(SettingsFilePath());
  return ini.ReadString(kSectionVeederRoot, kKeyTraceFile, "");
}

std::string PortSetting(uint16_t port) {
  return IniFile(SettingsFilePath()).ReadString(kSectionPorts, "COM" + std::to_string(port), "");
}

void WriteVeederRootSettings(int32_t connectionType, int32_t updateSeconds) {
  PrepareSettingsDirectory();
  IniFile ini(SettingsFilePath());
  ini.WriteInteger(kSectionVeederRoot, kKeyConnectionType, connectionType);
  ini.WriteInteger(kSectionVeederRoot, kKeyCriticalUpdateTime, updateSeconds);
  ini.UpdateFile();
}

}  // namespace vr
