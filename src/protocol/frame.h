#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/exchange_outcome.h"

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

// The console's answer to a command it does not support (or to a tank it does
// not have): SOH "9999", the checksum of those five bytes, ETX. It passes the
// checksum but answers no request.
inline constexpr std::string_view kUnknownCommandReply{
    "\x01"
    "9999FF1B"
    "\x03",
    10};
bool IsUnknownCommandReply(const uint8_t* frame, size_t length);

// The outcome of checking one complete reply: kOk, kBadFrame (no SOH in
// front or no ETX at the end), kBadChecksum or kOtherRequest. status is what
// the host's block is told: 0 = valid, 222 = wrong checksum, otherwise the
// reply's first byte (1 when SOH is right but ETX is not, or when the reply
// does not echo the request).
struct ReplyVerdict {
  bool valid;
  uint8_t status;
  ExchangeOutcome fault = ExchangeOutcome::kOk;
};
// With `echo` (the six command characters of the request), a reply is valid
// only if it carries them right after its SOH: anything else answers another
// request, or none.
ReplyVerdict VerifyReply(const uint8_t* reply, size_t length, const uint8_t* echo = nullptr);

// Two decimal digits with a leading zero ("01".."99"); numbers above 99 are
// reduced modulo 100 so that the command always stays six characters.
std::string TankDigits(unsigned tank);

}  // namespace vr
