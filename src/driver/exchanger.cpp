#include "driver/exchanger.h"

#include <cstring>
#include <exception>

#include "config/port_address.h"
#include "config/settings.h"
#include "link/urovn.h"
#include "protocol/reply_framer.h"
#include "vrsilo.h"

namespace vr {
namespace {

constexpr int kAttempts = 3;

std::chrono::microseconds Since(std::chrono::steady_clock::time_point started) {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               started);
}

VrLinkState LinkStateOf(ExchangeOutcome outcome) {
  switch (outcome) {
    case ExchangeOutcome::kOk:
      return VRSILO_LINK_OK;
    case ExchangeOutcome::kNoReply:
    case ExchangeOutcome::kNoLink:
      return VRSILO_LINK_SILENT;
    default:
      return VRSILO_LINK_BAD_REPLY;
  }
}

void ConfigureThunk(void* context) {
  static_cast<Exchanger*>(context)->ConfigureChannel();
}

// Writes the trace collected under the exchange lock once it is released,
// also when the call ends with an error. Declared before the lock guard.
struct FlushOnExit {
  std::unique_ptr<ExchangeTrace>& trace;
  ~FlushOnExit() {
    if (trace) trace->Flush();
  }
};

}  // namespace

Exchanger::Exchanger(void* host)
    : block_channel_(host),
      link_state_(VRSILO_LINK_OK),
      reply_timeout_ms_(TUrovn::kReplyTimeoutMs),
      trace_(OpenConfiguredTrace()) {}

Exchanger::~Exchanger() {
  std::lock_guard<std::mutex> guard(lock_);
  link_.reset();
}

std::string Exchanger::CurrentLinkName() const {
  const ConnectionType type = Type();
  if (type.IsBlock()) return "block " + std::to_string(type.BlockIndex() + 1);
  if (type.IsPort()) {
    // A network link is named by its address as well.
    const uint16_t port = type.PortNumber();
    std::string name = "COM" + std::to_string(port);
    NetAddress address;
    const std::string value = PortSetting(port);
    if (ParsePortAddress(value, address) == PortForm::kNetwork) name += " " + value;
    return name;
  }
  return "type " + std::to_string(type.Code());
}

void Exchanger::TraceNote(const std::string& text) {
  if (trace_) trace_->Note(link_name_, text);
}

std::unique_ptr<TUrovn> Exchanger::OpenLink(uint16_t port, std::string& failure) {
  try {
    auto link = std::make_unique<TUrovn>(port);
    link->SetReplyTimeoutMs(reply_timeout_ms_);
    return link;
  } catch (const std::exception& e) {
    failure = "Невозможно открыть порт COM" + std::to_string(port) + " для уровнемера!";
    TraceNote(std::string("port open failed: ") + e.what());
    return nullptr;
  }
}

std::string Exchanger::Connect(ConnectionType type) {
  FlushOnExit flush{trace_};
  std::string failure;
  std::lock_guard<std::mutex> guard(lock_);
  link_.reset();
  all_tanks_refused_ = false;  // a new link, perhaps to another gauge
  type_.store(type.Code(), std::memory_order_relaxed);
  if (trace_) link_name_ = CurrentLinkName();
  TraceNote("connection");
  if (type.IsPort()) link_ = OpenLink(type.PortNumber(), failure);
  return failure;
}

bool Exchanger::ConnectTo(const std::string& address) {
  FlushOnExit flush{trace_};
  std::lock_guard<std::mutex> guard(lock_);
  link_.reset();
  all_tanks_refused_ = false;
  type_.store(ConnectionType::kCount, std::memory_order_relaxed);  // neither block nor port
  link_name_ = address;
  TraceNote("connection");
  try {
    link_ = std::make_unique<TUrovn>(address);
    link_->SetReplyTimeoutMs(reply_timeout_ms_);
  } catch (const std::exception& e) {
    TraceNote(std::string("open failed: ") + e.what());
  }
  return link_ != nullptr;
}

bool Exchanger::HasLink() {
  std::lock_guard<std::mutex> guard(lock_);
  return link_ != nullptr;
}

void Exchanger::SetReplyTimeoutMs(uint32_t ms) {
  std::lock_guard<std::mutex> guard(lock_);
  reply_timeout_ms_ = ms;
  if (link_) link_->SetReplyTimeoutMs(ms);
}

void Exchanger::ConfigureChannel() {
  const ConnectionType type = Type();
  if (type.IsBlock()) block_channel_.Configure(type.BlockIndex());
}

void Exchanger::OpenCommBlock() {
  const ConnectionType type = Type();
  if (!type.IsBlock()) return;
  try {
    block_channel_.Open(type.BlockIndex(), &ConfigureThunk, this);
  } catch (const std::exception& e) {
    // Passed on with a blank in front of the block's message.
    throw ECommBlock(std::string(" ") + e.what());
  }
}

ExchangeReply Exchanger::Exchange(std::string_view command, const uint8_t* payload,
                                  uint8_t payloadLength, uint8_t expected, uint8_t* reply,
                                  size_t capacity) {
  FlushOnExit flush{trace_};
  std::lock_guard<std::mutex> guard(lock_);
  return ExchangeLocked(command, payload, payloadLength, expected, reply, capacity);
}

ExchangeReply Exchanger::ExchangeLocked(std::string_view command, const uint8_t* payload,
                                        uint8_t payloadLength, uint8_t expected, uint8_t* reply,
                                        size_t capacity) {
  const auto started = std::chrono::steady_clock::now();
  // A reply buffer that this exchange did not fill must never be decoded.
  std::memset(reply, 0, capacity);
  FrameBuffer frame{};
  const uint8_t frameLength = BuildRequest(command, payload, payloadLength, frame.data());
  // The checks accept only the answer to this request; outside an exchange
  // the block's check accepts nothing.
  std::memcpy(request_echo_.data(), frame.data() + 1, kCommandLength);
  request_pending_.store(true, std::memory_order_release);
  struct EndRequest {
    std::atomic<bool>& pending;
    ~EndRequest() { pending.store(false, std::memory_order_release); }
  } endRequest{request_pending_};

  const ConnectionType type = Type();
  ExchangeReply result;
  if (type.IsBlock()) {
    result = TransferOverBlock(type.BlockIndex(), frame.data(), frameLength, reply, expected);
  } else if (type.IsPort() || link_) {
    result = Transfer(frame.data(), frameLength, reply, capacity);
  } else {
    result = {ExchangeOutcome::kNoLink, 0};  // nothing to send over; the state stays
  }
  if (trace_) trace_->ExchangeDone(Since(started));
  return result;
}

ExchangeReply Exchanger::DirectAttempt(const uint8_t* frame, size_t frameLength, uint8_t* reply,
                                       size_t capacity) {
  last_check_ = {};
  if (!link_) return {ExchangeOutcome::kNoLink, 0};
  const ExchangeOutcome sent = link_->SendRequest(frame, frameLength, capacity);
  if (sent != ExchangeOutcome::kOk) return {sent, 0};
  ExchangeReply received = link_->AwaitReply(reply, capacity);
  if (!received.Ok()) return received;
  // A frame that echoes another command or tank (a late reply to an earlier
  // request) answers no request of ours.
  const ReplyVerdict verdict = VerifyReply(reply, received.length, frame + 1);
  last_check_ = {true, verdict.fault, received.length};
  SetLinkState(verdict.valid ? VRSILO_LINK_OK : VRSILO_LINK_BAD_REPLY);
  if (!verdict.valid) return {verdict.fault, 0};
  return received;
}

ExchangeReply Exchanger::Transfer(const uint8_t* frame, uint8_t frameLength, uint8_t* reply,
                                  size_t capacity) {
  ExchangeReply result;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const auto started = std::chrono::steady_clock::now();
    result = DirectAttempt(frame, frameLength, reply, capacity);
    if (trace_) TraceAttempt(result.outcome, started, frame, frameLength, reply);
    if (result.Ok()) break;
  }
  // A request the port could not queue leaves the state as it was.
  if (result.outcome != ExchangeOutcome::kSendRefused) SetLinkState(LinkStateOf(result.outcome));
  return result;
}

ExchangeReply Exchanger::TransferOverBlock(uint8_t block, const uint8_t* frame, uint8_t frameLength,
                                           uint8_t* reply, uint8_t expected) {
  auto answered = [this] { return last_check_.ran && last_check_.fault == ExchangeOutcome::kOk; };
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const auto started = std::chrono::steady_clock::now();
    last_check_ = {};
    uint8_t state = 0;
    try {
      state = block_channel_.Transact(block, frame, frameLength, reply, expected, &CheckBlockReply,
                                      this);
    } catch (const ECommBlock&) {
      if (trace_) TraceAttempt(ExchangeOutcome::kBlockError, started, frame, frameLength, reply);
      throw;
    }
    if (trace_) {
      const ExchangeOutcome outcome = state == VRSILO_LINK_OK && answered() ? ExchangeOutcome::kOk
                                      : state == VRSILO_LINK_SILENT ? ExchangeOutcome::kNoReply
                                      : last_check_.ran             ? last_check_.fault
                                                                    : ExchangeOutcome::kBadFrame;
      TraceAttempt(outcome, started, frame, frameLength, reply);
    }
    // The attempts end when the block reports 0, or 1 once our check accepted
    // its reply: repeating an answered request would only load the line (and
    // write a calibration table twice).
    if (state == 0 || (state == VRSILO_LINK_OK && answered())) break;
  }
  // The block's own channel state becomes the link state, unchanged.
  const uint32_t state = block_channel_.ChannelState(block);
  SetLinkState(static_cast<uint8_t>(state));
  if ((state & 0xFF) == VRSILO_LINK_OK && answered())
    return {ExchangeOutcome::kOk, last_check_.length};
  if ((state & 0xFF) == VRSILO_LINK_SILENT) return {ExchangeOutcome::kNoReply, 0};
  return {last_check_.ran ? last_check_.fault : ExchangeOutcome::kBadFrame, 0};
}

bool Exchanger::CheckBlockReply(void* context, uint8_t tag, const uint8_t* reply,
                                uint8_t& replyLength, uint8_t&) {
  auto* self = static_cast<Exchanger*>(context);
  ReplyVerdict verdict{false, replyLength > 0 ? reply[0] : uint8_t{0},
                       ExchangeOutcome::kOtherRequest};
  if (self->request_pending_.load(std::memory_order_acquire))
    verdict = VerifyReply(reply, replyLength, self->request_echo_.data());
  self->last_check_ = {true, verdict.fault, replyLength};
  const ConnectionType type = self->Type();
  const VrLinkState state = verdict.valid ? VRSILO_LINK_OK : VRSILO_LINK_BAD_REPLY;
  if (type.IsBlock()) {
    self->block_channel_.ReportStatus(type.BlockIndex(), tag, verdict.status);
    self->block_channel_.SetChannelState(type.BlockIndex(), state);
  } else {
    self->SetLinkState(state);
  }
  return verdict.valid;
}

ExchangeReply Exchanger::AllTanksAttempt(std::string_view command, uint8_t* reply) {
  FrameBuffer frame{};
  const uint8_t frameLength = BuildRequest(command, nullptr, 0, frame.data());
  // One attempt: a gauge that fails it is asked per tank, with the attempts
  // and link states of every exchange.
  const auto started = std::chrono::steady_clock::now();
  const ExchangeReply result = DirectAttempt(frame.data(), frameLength, reply, kAllTanksFrameSize);
  if (result.outcome != ExchangeOutcome::kSendRefused) SetLinkState(LinkStateOf(result.outcome));
  if (trace_) {
    TraceAttempt(result.outcome, started, frame.data(), frameLength, reply);
    trace_->ExchangeDone(Since(started));
  }
  return result;
}

std::optional<AllTanksReply> Exchanger::ReadAllTanks() {
  FlushOnExit flush{trace_};
  std::lock_guard<std::mutex> guard(lock_);
  if (all_tanks_refused_ || !link_) return std::nullopt;
  uint8_t reply[kAllTanksFrameSize];
  for (std::string_view report : {kDensityReport, kInventoryReport}) {
    const ExchangeReply r = AllTanksAttempt(std::string(report) + TankDigits(0), reply);
    if (!r.Ok()) continue;
    if (std::optional<AllTanksReply> decoded = DecodeAllTanksReply(reply, r.length)) return decoded;
  }
  // Not understood (the unknown-command reply, silence, a bad frame): the
  // tanks are asked one by one from now on, so this costs once per link.
  all_tanks_refused_ = true;
  return std::nullopt;
}

void Exchanger::TraceAttempt(ExchangeOutcome outcome, std::chrono::steady_clock::time_point started,
                             const uint8_t* frame, size_t frameLength, const uint8_t* reply) {
  // A missing link is told as the silence it used to be.
  if (outcome == ExchangeOutcome::kNoLink) outcome = ExchangeOutcome::kNoReply;
  if (outcome == ExchangeOutcome::kHalfFrame && link_) {
    // What arrived of the frame that did not end.
    uint8_t partial[kAllTanksFrameSize];
    const size_t n = link_->CopyPartialFrame(partial, sizeof partial);
    trace_->Attempt(link_name_, outcome, Since(started), frame, frameLength, partial, n);
    return;
  }
  trace_->Attempt(link_name_, outcome, Since(started), frame, frameLength, reply,
                  last_check_.ran ? last_check_.length : 0);
}

}  // namespace vr
