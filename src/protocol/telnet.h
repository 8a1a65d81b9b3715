#pragma once
// Telnet (RFC 854, 855) as far as a serial line carried over TCP needs it,
// and the COM-PORT-OPTION of RFC 2217: escaping of data, a decoder that takes
// the commands out of a received stream, and the option negotiation. Pure.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace vr::telnet {

constexpr uint8_t kSe = 240;
constexpr uint8_t kSb = 250;
constexpr uint8_t kWill = 251;
constexpr uint8_t kWont = 252;
constexpr uint8_t kDo = 253;
constexpr uint8_t kDont = 254;
constexpr uint8_t kIac = 255;

constexpr uint8_t kOptionBinary = 0;
constexpr uint8_t kOptionSuppressGoAhead = 3;
constexpr uint8_t kOptionComPort = 44;

// RFC 2217 commands from the client; the server answers with code + 100.
namespace comport {
constexpr uint8_t kSetBaudRate = 1;  // 4 bytes, network order
constexpr uint8_t kSetDataSize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopSize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;

constexpr uint8_t kParityNone = 1;
constexpr uint8_t kParityOdd = 2;
constexpr uint8_t kParityEven = 3;
constexpr uint8_t kParityMark = 4;
constexpr uint8_t kParitySpace = 5;

constexpr uint8_t kStopOne = 1;
constexpr uint8_t kStopTwo = 2;
constexpr uint8_t kStopOneAndHalf = 3;

constexpr uint8_t kFlowNone = 1;
constexpr uint8_t kFlowXonXoff = 2;
constexpr uint8_t kFlowHardware = 3;

constexpr uint8_t kPurgeReceive = 1;  // the access server's receive buffer
constexpr uint8_t kPurgeTransmit = 2;
constexpr uint8_t kPurgeBoth = 3;
}  // namespace comport

// Longest subnegotiation body kept (option, command, value); longer ones are
// dropped whole.
constexpr size_t kMaxSubnegotiation = 64;
// Room a ComPortCommand with an n-byte value needs.
constexpr size_t ComPortCommandSize(size_t n) {
  return 6 + 2 * n;
}

// Copies n data bytes to out with each IAC doubled; out has room for 2 * n.
// Returns the count written.
size_t Escape(const uint8_t* in, size_t n, uint8_t* out);

// IAC SB COM-PORT-OPTION code value IAC SE, the value escaped, into out
// (ComPortCommandSize(n) bytes of room). Returns the length.
size_t ComPortCommand(uint8_t code, const uint8_t* value, size_t n, uint8_t* out);

// What the decoder finds besides data.
class Handler {
 public:
  // WILL, WONT, DO or DONT for an option.
  virtual void OnNegotiation(uint8_t verb, uint8_t option) = 0;
  // IAC SB body IAC SE: the option first, IAC IAC undone.
  virtual void OnSubnegotiation(const uint8_t* body, size_t n) = 0;

 protected:
  ~Handler() = default;
};

// Takes the Telnet commands out of a received byte stream fed in any pieces.
// Commands other than negotiations and subnegotiations (NOP, GA, AYT, ...)
// carry nothing for a serial line and are dropped.
class Decoder {
 public:
  // Decodes n bytes: the data bytes go to out, which may be `in` itself (the
  // output never runs ahead of the input); returns their count.
  size_t Feed(const uint8_t* in, size_t n, uint8_t* out, Handler& handler);
  void Reset() { *this = Decoder{}; }

 private:
  enum class State : uint8_t { kData, kIac, kVerb, kSb, kSbIac };
  void Keep(uint8_t b);

  State state_ = State::kData;
  uint8_t verb_ = 0;
  bool sb_overflow_ = false;
  size_t sb_length_ = 0;
  std::array<uint8_t, kMaxSubnegotiation> sb_{};
};

// The option negotiation of one end (RFC 854 rules, without loops: a request
// for the state an option already has is not answered; an option this end
// does not support is refused with DONT / WONT).
class Options {
 public:
  // `local`: options this end performs when asked (DO -> WILL); `remote`:
  // options it lets the other end perform (WILL -> DO).
  Options(std::initializer_list<uint8_t> local, std::initializer_list<uint8_t> remote);

  // Asks to perform an option: true when WILL is to be sent now.
  bool RequestLocal(uint8_t option);
  // A received WILL, WONT, DO or DONT: the verb to answer with for the same
  // option, or 0 for none.
  uint8_t Receive(uint8_t verb, uint8_t option);

  bool LocalEnabled(uint8_t option) const { return local_[option] == kYes; }
  bool LocalPending(uint8_t option) const { return local_[option] == kWantYes; }
  // Everything off, as on a new connection.
  void Reset();

 private:
  enum : uint8_t { kNo, kYes, kWantYes };
  static uint8_t Answer(uint8_t& state, bool supported, bool on, uint8_t yes, uint8_t no);

  std::array<uint8_t, 256> local_{};
  std::array<uint8_t, 256> remote_{};
  std::array<bool, 256> local_ok_{};
  std::array<bool, 256> remote_ok_{};
};

}  // namespace vr::telnet
