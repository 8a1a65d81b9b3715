#pragma once
// The host's settings file of the kill-while-saving tests, and every state a
// save can leave it in, written out byte for byte.
#include <string>
#include <vector>

namespace vr::safety {

// The host's own sections around ours, with comments, blanks, Windows-1251
// text and a last line without line end.
inline const std::string kHostHead =
    "; station settings\r\n"
    "[Main]\r\n"
    "Station=\xC0\xC7\xD1 12\r\n"
    "Path = C:\\Host\\data \r\n"
    "\r\n";
inline std::string VeederRoot(const std::string& type, const std::string& seconds) {
  return "[VeederRoot]\r\n"
         "ConnectionType=" +
         type +
         "\r\n"
         "; the period in seconds\r\n"
         "CriticalUpdateTime=" +
         seconds +
         "\r\n"
         "Extra=kept as it is\r\n"
         "\r\n";
}
inline std::string SiloItem0(const std::vector<std::string>& items) {
  std::string s = "[SiloItem0]\r\nCount=" + std::to_string(items.size()) + "\r\n";
  for (size_t i = 0; i < items.size(); ++i)
    s += "Item" + std::to_string(i) + "=" + items[i] + "\r\n";
  return s + "\r\n";
}
inline const std::string kHostTail = "[Host.Tail]\r\nLast=1";

inline const std::vector<std::string> kTable0 = {"5.00=50.00"};
inline const std::vector<std::string> kTable1 = {"10.00=100.00", "20.00=250.50"};
inline const std::vector<std::string> kTable2 = {"15.0=0.120", "30.0=0.450", "45.0=0.900"};

inline std::string File(const std::string& type, const std::string& seconds,
                        const std::vector<std::string>& table) {
  return kHostHead + VeederRoot(type, seconds) + SiloItem0(table) + kHostTail;
}

// Before any save, and after the saves of each mode.
inline const std::string kOriginal = File("4", "60", kTable0);
inline const std::string kSettingsA = File("3", "30", kTable0);
inline const std::string kSettingsB = File("5", "45", kTable0);
inline const std::string kTableA = File("4", "60", kTable1);
inline const std::string kTableB = File("4", "60", kTable2);

}  // namespace vr::safety
