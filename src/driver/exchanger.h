#pragma once
// The driver's conversation with the gauge: one request-reply exchange at a
// time over whichever link the connection type names (the direct link, on a
// serial port or a network address, or the host's communication block), with
// up to three attempts, the link state the last one leaves, and the trace.
// It needs neither the tank cache nor the host's slots.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "driver/connection_type.h"
#include "driver/trace.h"
#include "link/comm_block_channel.h"
#include "protocol/exchange_outcome.h"
#include "protocol/frame.h"
#include "protocol/inventory.h"

namespace vr {

class TUrovn;

class Exchanger {
 public:
  // host: the host's object that owns the communication blocks (may be null).
  // The trace is opened as configured; no link until Connect.
  explicit Exchanger(void* host);
  ~Exchanger();
  Exchanger(const Exchanger&) = delete;
  Exchanger& operator=(const Exchanger&) = delete;

  // The host may store any value; exchanges store VrLinkState values.
  void SetLinkState(uint8_t state) { link_state_.store(state, std::memory_order_relaxed); }
  uint8_t LinkState() const { return link_state_.load(std::memory_order_relaxed); }
  ConnectionType Type() const { return ConnectionType(type_.load(std::memory_order_relaxed)); }

  // Closes the link in use and opens the one `type` names (a port at once; a
  // block when the host opens it). Under the exchange lock, so no exchange
  // uses a link while it goes. Returns the message for the host when the
  // port cannot be opened, else an empty string.
  std::string Connect(ConnectionType type);
  // Opens the direct link an address names (OpenSerialDeviceAt) in place of
  // any other; false when it does not open.
  bool ConnectTo(const std::string& address);
  bool HasLink();
  // The reply time-out of the direct links opened from now on and of the
  // one in use (1500 ms by default).
  void SetReplyTimeoutMs(uint32_t ms);

  // The communication block: opening the channel (throws ECommBlock with the
  // block's message) and setting it up again.
  void OpenCommBlock();
  void ConfigureChannel();

  // One request-reply exchange with up to three attempts, serialised by the
  // exchange lock. reply is a buffer of `capacity` bytes (255, or up to
  // kAllTanksFrameSize on the direct link), emptied first; only a kOk result
  // may be decoded, and its length is the checked reply's. expected: the
  // reply length the communication block is told to wait for.
  ExchangeReply Exchange(std::string_view command, const uint8_t* payload, uint8_t payloadLength,
                         uint8_t expected, uint8_t* reply, size_t capacity = kFrameBufferSize);
  // Every tank in one reply over the direct link: the density report, else
  // the plain one, one attempt each. A gauge that understands neither is
  // asked per tank for the rest of the link's life: nullopt at once.
  std::optional<AllTanksReply> ReadAllTanks();

  void TraceNote(const std::string& text);

 private:
  struct CheckRecord {
    bool ran = false;
    ExchangeOutcome fault = ExchangeOutcome::kOk;
    size_t length = 0;
  };

  ExchangeReply ExchangeLocked(std::string_view command, const uint8_t* payload,
                               uint8_t payloadLength, uint8_t expected, uint8_t* reply,
                               size_t capacity);
  ExchangeReply Transfer(const uint8_t* frame, uint8_t frameLength, uint8_t* reply,
                         size_t capacity);
  ExchangeReply TransferOverBlock(uint8_t block, const uint8_t* frame, uint8_t frameLength,
                                  uint8_t* reply, uint8_t expected);
  // One attempt on the direct link: send, wait, check against the echo.
  ExchangeReply DirectAttempt(const uint8_t* frame, size_t frameLength, uint8_t* reply,
                              size_t capacity);
  ExchangeReply AllTanksAttempt(std::string_view command, uint8_t* reply);
  // The reply check the host's block calls on each reply it receives.
  static bool CheckBlockReply(void* context, uint8_t tag, const uint8_t* reply,
                              uint8_t& replyLength, uint8_t& expected);
  std::unique_ptr<TUrovn> OpenLink(uint16_t port, std::string& failure);
  std::string CurrentLinkName() const;
  void TraceAttempt(ExchangeOutcome outcome, std::chrono::steady_clock::time_point started,
                    const uint8_t* frame, size_t frameLength, const uint8_t* reply);
  void FlushTrace() {
    if (trace_) trace_->Flush();
  }

  std::mutex lock_;  // whole exchanges, and the switch of links
  CommBlockChannel block_channel_;
  std::unique_ptr<TUrovn> link_;
  std::atomic<uint8_t> link_state_;
  std::atomic<uint8_t> type_{0};
  uint32_t reply_timeout_ms_;
  // The six command characters of the request in flight, which a reply must
  // echo; written under lock_ before the pending flag is raised.
  std::array<uint8_t, kCommandLength> request_echo_{};
  std::atomic<bool> request_pending_{false};
  // The gauge did not answer a request for every tank (under lock_).
  bool all_tanks_refused_ = false;
  CheckRecord last_check_;                // what the check said in the current attempt
  std::unique_ptr<ExchangeTrace> trace_;  // none unless configured
  std::string link_name_;                 // for the trace

  friend struct SiloTestAccess;
};

}  // namespace vr
