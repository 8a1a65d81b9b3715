// Saves the settings file over and over until it is killed: the victim of the
// kill-while-saving tests. The settings file is the one WINDIR points to.
//
//   settings_saver settings   alternates the [VeederRoot] keys between
//                             (3, 30) and (5, 45), as the settings dialog saves
//   settings_saver table      alternates two calibration tables in the section
//                             "SiloItem0", as the calibration window saves
//
// Writes 'r' to standard output once it is about to save for the first time,
// and '.' after each completed save, so that the killer knows how far it got.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/ini_file.h"
#include "config/settings.h"
#include "settings_texts.h"

int main(int argc, char** argv) {
  if (argc != 2 || (std::strcmp(argv[1], "settings") != 0 && std::strcmp(argv[1], "table") != 0)) {
    std::fprintf(stderr, "usage: settings_saver settings|table\n");
    return 2;
  }
  const bool table = std::strcmp(argv[1], "table") == 0;
  const char ready = 'r';
  if (::write(STDOUT_FILENO, &ready, 1) != 1) return 3;
  for (unsigned i = 0;; ++i) {
    const bool second = i % 2 == 1;
    try {
      if (table) {
        vr::IniFile ini(vr::SettingsFilePath());
        ini.WriteList("SiloItem0", second ? vr::safety::kTable2 : vr::safety::kTable1);
        ini.UpdateFile();
      } else if (second) {
        vr::WriteVeederRootSettings(5, 45);
      } else {
        vr::WriteVeederRootSettings(3, 30);
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "settings_saver: %s\n", e.what());
      return 1;
    }
    const char saved = '.';
    if (::write(STDOUT_FILENO, &saved, 1) != 1) return 3;
  }
}
