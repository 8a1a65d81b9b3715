#include "protocol/frame.h"

#include <algorithm>
#include <cstring>

namespace vr {

uint8_t BuildRequest(std::string_view command, const uint8_t* payload, size_t payloadLength,
                     uint8_t* frame) {
  frame[0] = kSoh;
  for (size_t i = 0; i < kCommandLength; ++i)
    frame[1 + i] = i < command.size() ? static_cast<uint8_t>(command[i]) : ' ';
  size_t n = std::min(payloadLength, kMaxPayload);
  if (n > 0 && payload) std::memcpy(frame + 1 + kCommandLength, payload, n);
  return static_cast<uint8_t>(1 + kCommandLength + n);
}

uint16_t ReplyChecksumValue(const uint8_t* reply, size_t length) {
  uint16_t sum = 0;
  if (length >= 6) {
    for (size_t i = 0; i <= length - 6; ++i) sum += reply[i];
  }
  return static_cast<uint16_t>(0x10000u - sum);
}

std::array<char, 4> ReplyChecksum(const uint8_t* reply, size_t length) {
  static const char kHex[] = "0123456789ABCDEF";
  uint16_t v = ReplyChecksumValue(reply, length);
  return {kHex[(v >> 12) & 0xF], kHex[(v >> 8) & 0xF], kHex[(v >> 4) & 0xF], kHex[v & 0xF]};
}

bool IsUnknownCommandReply(const uint8_t* frame, size_t length) {
  return length == kUnknownCommandReply.size() &&
         std::memcmp(frame, kUnknownCommandReply.data(), length) == 0;
}

ReplyVerdict VerifyReply(const uint8_t* reply, size_t length, const uint8_t* echo) {
  if (length == 0) return {false, 0, ExchangeOutcome::kBadFrame};
  if (reply[0] != kSoh || reply[length - 1] != kEtx)
    return {false, reply[0], ExchangeOutcome::kBadFrame};
  if (length < 6) return {false, 222, ExchangeOutcome::kBadChecksum};
  std::array<char, 4> expect = ReplyChecksum(reply, length);
  if (std::memcmp(expect.data(), reply + length - 5, 4) != 0)
    return {false, 222, ExchangeOutcome::kBadChecksum};
  // A well-formed frame that is not the answer to this request fails like a
  // wrong frame, with its first byte as the status.
  if (echo &&
      (length < 1 + kCommandLength + 1 || std::memcmp(reply + 1, echo, kCommandLength) != 0))
    return {false, reply[0], ExchangeOutcome::kOtherRequest};
  return {true, 0, ExchangeOutcome::kOk};
}

std::string TankDigits(unsigned tank) {
  tank %= 100;
  return {static_cast<char>('0' + tank / 10), static_cast<char>('0' + tank % 10)};
}

}  // namespace vr
