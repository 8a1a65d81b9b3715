#pragma once
// The driver's connection type as the host and the settings file number it:
// 0..2 the host's communication block No. 1..3, 3..8 the ports COM1..COM6;
// anything else is stored but reaches no gauge.
#include <cstdint>
#include <string>

namespace vr {

class ConnectionType {
 public:
  static constexpr uint8_t kBlocks = 3;
  static constexpr uint8_t kPorts = 6;
  static constexpr uint8_t kCount = kBlocks + kPorts;

  constexpr explicit ConnectionType(uint8_t code) : code_(code) {}
  static constexpr ConnectionType Block(int number) {
    return ConnectionType(static_cast<uint8_t>(number - 1));
  }
  static constexpr ConnectionType Port(int number) {
    return ConnectionType(static_cast<uint8_t>(number + kBlocks - 1));
  }

  constexpr uint8_t Code() const { return code_; }
  constexpr bool IsBlock() const { return code_ < kBlocks; }
  constexpr bool IsPort() const { return code_ >= kBlocks && code_ < kCount; }
  // The block's index 0..2 (IsBlock only).
  constexpr uint8_t BlockIndex() const { return code_; }
  // The number n of COMn (IsPort only).
  constexpr uint16_t PortNumber() const { return static_cast<uint16_t>(code_ - kBlocks + 1); }
  constexpr bool operator==(const ConnectionType&) const = default;

 private:
  uint8_t code_;
};

}  // namespace vr
