#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vr {

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kEtx = 0x03;
constexpr size_t kFrameBufferSize = 255;
// Header of a request or reply: SOH and the six-character command.
constexpr size_t kCommandLength = 6;
constexpr size_t kMaxPayload = kFrameBufferSize - 1 - kCommandLength;  // 248

using FrameBuffer = std::array<uint8_t, kFrameBufferSize>;

// Fills frame with SOH, the first six characters of command and the payload;
// returns the frame length (7 + payloadLength). A payload longer than 248
// bytes is cut to fit the buffer.
uint8_t BuildRequest(std::string_view command, const uint8_t* payload, size_t payloadLength,
                     uint8_t* frame);

// Sum of reply[0 .. length-6] in 16-bit arithmetic, two's complement.
uint16_t ReplyChecksumValue(const uint8_t* reply, size_t length);
// The four upper-case hexadecimal characters a reply of this length must carry.
std::array<char, 4> ReplyChecksum(const uint8_t* reply, size_t length);

// The outcome of checking one complete reply: status 0 = valid, 222 = wrong
// checksum, otherwise the reply's first byte (1 when SOH is right but ETX is not).
struct ReplyVerdict {
  bool valid;
  uint8_t status;
};
ReplyVerdict VerifyReply(const uint8_t* reply, size_t length);

// Two decimal digits with a leading zero ("01".."99"); numbers above 99 are
// reduced modulo 100 so that the command always stays six characters.
std::string TankDigits(unsigned tank);

}  // namespace vr
