#include "protocol/telnet.h"

namespace vr::telnet {

size_t Escape(const uint8_t* in, size_t n, uint8_t* out) {
  size_t k = 0;
  for (size_t i = 0; i < n; ++i) {
    out[k++] = in[i];
    if (in[i] == kIac) out[k++] = kIac;
  }
  return k;
}

size_t ComPortCommand(uint8_t code, const uint8_t* value, size_t n, uint8_t* out) {
  size_t k = 0;
  out[k++] = kIac;
  out[k++] = kSb;
  out[k++] = kOptionComPort;
  out[k++] = code;
  k += Escape(value, n, out + k);
  out[k++] = kIac;
  out[k++] = kSe;
  return k;
}

void Decoder::Keep(uint8_t b) {
  if (sb_length_ < sb_.size()) {
    sb_[sb_length_++] = b;
  } else {
    sb_overflow_ = true;
  }
}

size_t Decoder::Feed(const uint8_t* in, size_t n, uint8_t* out, Handler& handler) {
  size_t k = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = in[i];
    switch (state_) {
      case State::kData:
        if (b == kIac) {
          state_ = State::kIac;
        } else {
          out[k++] = b;
        }
        break;
      case State::kSbIac:
        if (b == kIac) {
          Keep(b);
          state_ = State::kSb;
          break;
        }
        if (b == kSe) {
          if (!sb_overflow_ && sb_length_ > 0) handler.OnSubnegotiation(sb_.data(), sb_length_);
          state_ = State::kData;
          break;
        }
        // Another command inside a subnegotiation: the subnegotiation is
        // abandoned and the command taken as it stands.
        [[fallthrough]];
      case State::kIac:
        state_ = State::kData;
        if (b == kIac) {
          out[k++] = b;
        } else if (b >= kWill) {
          verb_ = b;
          state_ = State::kVerb;
        } else if (b == kSb) {
          sb_length_ = 0;
          sb_overflow_ = false;
          state_ = State::kSb;
        }
        break;
      case State::kVerb:
        handler.OnNegotiation(verb_, b);
        state_ = State::kData;
        break;
      case State::kSb:
        if (b == kIac) {
          state_ = State::kSbIac;
        } else {
          Keep(b);
        }
        break;
    }
  }
  return k;
}

Options::Options(std::initializer_list<uint8_t> local, std::initializer_list<uint8_t> remote) {
  for (uint8_t o : local) local_ok_[o] = true;
  for (uint8_t o : remote) remote_ok_[o] = true;
}

void Options::Reset() {
  local_.fill(kNo);
  remote_.fill(kNo);
}

bool Options::RequestLocal(uint8_t option) {
  if (local_[option] != kNo || !local_ok_[option]) return false;
  local_[option] = kWantYes;
  return true;
}

// One side of an option: `on` is the request received (WILL/DO or WONT/DONT);
// yes/no are the verbs this end answers with.
uint8_t Options::Answer(uint8_t& state, bool supported, bool on, uint8_t yes, uint8_t no) {
  if (on) {
    if (state == kYes) return 0;
    if (state == kWantYes) {
      state = kYes;  // the answer to our own request
      return 0;
    }
    if (!supported) return no;
    state = kYes;
    return yes;
  }
  const uint8_t was = state;
  state = kNo;
  return was == kYes ? no : 0;  // a refusal of our request needs no answer
}

uint8_t Options::Receive(uint8_t verb, uint8_t option) {
  switch (verb) {
    case kWill:
    case kWont:
      return Answer(remote_[option], remote_ok_[option], verb == kWill, kDo, kDont);
    case kDo:
    case kDont:
      return Answer(local_[option], local_ok_[option], verb == kDo, kWill, kWont);
    default:
      return 0;
  }
}

}  // namespace vr::telnet
