#pragma once
// Shared helpers of the test programs: a recording application object, a
// temporary Windows directory, and builders of gauge replies.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "common/application.h"
#include "protocol/frame.h"
#include "protocol/hex_float.h"

namespace vr::test {

struct Shown {
  std::string text, caption;
  uint32_t flags;
};

// Records every message box and error report instead of showing it.
class RecordingApp : public Application {
 public:
  RecordingApp() { SetApplication(this); }
  ~RecordingApp() override { SetApplication(nullptr); }
  void ShowMessage(const std::string& text, const std::string& caption, uint32_t flags) override {
    std::lock_guard<std::mutex> g(mu_);
    shown_.push_back({text, caption, flags});
  }
  void ReportError(const std::string& message) override {
    std::lock_guard<std::mutex> g(mu_);
    errors_.push_back(message);
  }
  std::vector<Shown> Shown_() const {
    std::lock_guard<std::mutex> g(mu_);
    return shown_;
  }
  std::vector<std::string> Errors() const {
    std::lock_guard<std::mutex> g(mu_);
    return errors_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<Shown> shown_;
  std::vector<std::string> errors_;
};

// A temporary directory installed as WINDIR for the test's lifetime.
class TempWindowsDir {
 public:
  TempWindowsDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vr-test-XXXXXX").string();
    dir_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
    const char* old = std::getenv("WINDIR");
    had_old_ = old != nullptr;
    if (old) old_ = old;
    setenv("WINDIR", dir_.c_str(), 1);
  }
  ~TempWindowsDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    if (had_old_)
      setenv("WINDIR", old_.c_str(), 1);
    else
      unsetenv("WINDIR");
  }
  const std::string& Dir() const { return dir_; }
  std::string SettingsPath() const { return dir_ + "/cnf.INI"; }
  void WriteSettings(const std::string& text) const {
    std::ofstream(SettingsPath(), std::ios::binary) << text;
  }
  std::string ReadSettings() const {
    std::ifstream in(SettingsPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string dir_, old_;
  bool had_old_ = false;
};

inline std::string Hex(float v) {
  char buf[8];
  SingleToHex(v, buf);
  return std::string(buf, 8);
}

// SOH + echo + body + "&&" + checksum + ETX.
inline std::vector<uint8_t> MakeReply(const std::string& echo, const std::string& body) {
  std::vector<uint8_t> r;
  r.push_back(kSoh);
  r.insert(r.end(), echo.begin(), echo.end());
  r.insert(r.end(), body.begin(), body.end());
  r.push_back('&');
  r.push_back('&');
  r.resize(r.size() + 5);
  auto cs = ReplyChecksum(r.data(), r.size());
  std::copy(cs.begin(), cs.end(), r.end() - 5);
  r.back() = kEtx;
  return r;
}

struct Inventory {
  float volume = 0, ullage = 0, density = 0, level = 0, water = 0, temperature = 0;
};

// "i214" (81 bytes, density in field 3) or "i201" (89 bytes, 7 fields).
inline std::vector<uint8_t> InventoryReply(const std::string& command, const Inventory& v) {
  bool density = command.compare(0, 4, "i214") == 0;
  std::string body = "2612071200" + command.substr(4, 2) + "1" + "0000" + (density ? "06" : "07");
  body += Hex(v.volume) + Hex(v.ullage) + Hex(density ? v.density : 0.0f) + Hex(v.level) +
          Hex(v.water) + Hex(v.temperature);
  if (!density) body += Hex(0.0f);
  return MakeReply(command, body);
}

}  // namespace vr::test
