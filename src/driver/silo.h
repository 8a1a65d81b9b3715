#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "driver/trace.h"
#include "link/comm_block_channel.h"
#include "protocol/exchange_result.h"
#include "protocol/frame.h"
#include "protocol/inventory.h"
#include "vrsilo.h"

namespace vr {

class TUrovn;

// Connection types: 0..2 communication block No. 1..3, 3..8 COM1..COM6.
constexpr uint8_t kFirstPortType = 3;
constexpr uint8_t kLastPortType = 8;
inline bool IsBlockType(uint8_t t) {
  return t <= 2;
}
inline bool IsPortType(uint8_t t) {
  return t >= kFirstPortType && t <= kLastPortType;
}

// What a density read gives when the gauge has not told it.
constexpr double kDefaultDensity = 0.77;

// The cached reading of one tank. Host threads read and refresh the cache
// concurrently without the exchange lock, so every field is atomic; a value
// is written before its stamp (release) and read after it (acquire).
struct CachedReading {
  std::atomic<double> Level{0.0};
  std::array<std::atomic<double>, 4> Temperature{};
  std::atomic<double> Volume{0.0};
  std::atomic<uint8_t> Water{0};
  std::atomic<double> Density{0.0};
};

// Outcome of one command exchange: the result code of the last attempt, and
// whether this exchange itself received a reply that passed the check (the
// only case in which a caller may decode the reply buffer).
struct ExchangeOutcome {
  ExchangeResult result = kReplyOk;
  bool replyValid = false;
  uint8_t replyLength = 0;  // length of the checked reply (0 when none)
};

// The driver object handed to the host. Its first member is the pointer to the
// host-facing slot table; nothing virtual, so nothing precedes it.
class TSilo {
 public:
  TSilo(void* host, uint8_t connectionType);
  ~TSilo();
  TSilo(const TSilo&) = delete;
  TSilo& operator=(const TSilo&) = delete;

  static TSilo* FromHost(VrSilo* obj) { return reinterpret_cast<TSilo*>(obj); }
  VrSilo* ToHost() { return reinterpret_cast<VrSilo*>(this); }

  // --- slots ---
  static void GetIdentity(char* buffer40);
  // The host may store any value; the library stores VrLinkState values.
  void SetLinkState(uint8_t state) { link_state_.store(state, std::memory_order_relaxed); }
  uint8_t GetLinkState() const { return link_state_.load(std::memory_order_relaxed); }
  void OpenCommBlock();
  double GetLevel(uint32_t tankIndex);
  void GetTemperatures(uint32_t tankIndex, double* out4);
  uint8_t GetWater(uint32_t tankIndex);
  double GetDensity(uint32_t tankIndex);
  double GetVolume(uint32_t tankIndex);
  void AddMenuItem(void* menu);
  int32_t ReadCalibrationTable(uint32_t tankNumber, int32_t* height, uint8_t* points200);
  int32_t WriteCalibrationTable(uint32_t tankNumber, int32_t height, const uint8_t* points200);

  // --- used inside the library ---
  void ChangeConnectionType(uint8_t type);
  uint8_t GetConnectionType() const { return connection_type_.load(std::memory_order_relaxed); }
  int32_t GetUpdatePeriodMs() const { return update_period_ms_.load(std::memory_order_relaxed); }
  void SetUpdatePeriodMs(int32_t ms) { update_period_ms_.store(ms, std::memory_order_relaxed); }
  void* CommBlock() const { return block_channel_.Host(); }
  bool HasLink();
  bool MenuPending() const { return menu_pending_; }

  // One request-reply exchange with up to three attempts, serialised by the
  // exchange lock. Whether the reply may be decoded is decided under that lock
  // and returned with the checked length, so callers decode their own buffer
  // afterwards without the lock and never on the strength of a link state
  // that another thread's exchange has set in the meantime.
  // reply is a 255-byte buffer; replyLength holds the expected length on entry.
  ExchangeOutcome Exchange(std::string_view command, const uint8_t* payload, uint8_t payloadLength,
                           uint8_t& replyLength, uint8_t* reply);
  // The reply check handed to the link or the communication block: SOH, ETX,
  // checksum, and the echo of the request in flight.
  bool CheckReply(uint8_t tag, const uint8_t* reply, uint8_t& replyLength);

  // Inventory: asks for the density report, then the plain report; true when
  // tank n's reading was refreshed by this call. With RefreshAllTanks on a
  // direct link, one request for every tank comes first.
  bool RefreshTank(uint8_t n);
  bool RefreshesAllTanks() const { return refresh_all_; }
  // Decodes an inventory reply into the cache; returns the tank it was stored
  // under, or 0 when the echoed tank number is not 01..16.
  int DecodeInventory(const uint8_t* reply, uint8_t length);

  const CachedReading& Reading(int tankNumber) const { return tanks_[tankNumber - 1]; }
  double Stamp(int tankNumber, int kind) const {
    return stamps_[tankNumber - 1][kind].load(std::memory_order_acquire);
  }
  uint8_t ReplyLength() const { return reply_length_.load(std::memory_order_relaxed); }

  // Called by the communication block through its handler thunks.
  void ConfigureChannel();

 private:
  bool IsFresh(int tankNumber, int kind) const;
  template <typename T, typename Get>
  T ReadValue(uint32_t tankIndex, int kind, T fallback, Get get);
  ExchangeResult Transfer(const uint8_t* frame, uint8_t frameLength, uint8_t* reply,
                          uint8_t& replyLength, bool& replyValid);
  ExchangeResult TransferOverBlock(uint8_t block, const uint8_t* frame, uint8_t frameLength,
                                   uint8_t* reply, uint8_t expected, bool& replyValid);
  void StoreReading(const InventoryReply& decoded);
  bool RefreshAllTanks(uint8_t n);
  ExchangeOutcome ExchangeLocked(std::string_view command, const uint8_t* payload,
                                 uint8_t payloadLength, uint8_t& replyLength, uint8_t* reply);
  // The trace: the link's name in it, the words for a failed check, and the
  // line of one attempt (collected under the exchange lock, written by
  // FlushTrace once it is released).
  std::string LinkName() const { return link_name_; }
  std::string CurrentLinkName() const;
  AttemptOutcome FaultOutcome() const;
  void TraceAttempt(ExchangeResult result, std::chrono::steady_clock::time_point started,
                    const uint8_t* frame, uint8_t frameLength, const uint8_t* reply);
  void TraceBlockAttempt(AttemptOutcome outcome, std::chrono::steady_clock::time_point started,
                         const uint8_t* frame, uint8_t frameLength, const uint8_t* reply);
  void TraceNote(const std::string& text);
  void FlushTrace() {
    if (trace_) trace_->Flush();
  }
  // One request for every tank over the direct link: its attempts, the link
  // state, and the reply checked against the request's echo.
  bool ExchangeAllTanks(std::string_view command, uint8_t* reply, size_t& length);
  std::unique_ptr<TUrovn> OpenLink(uint8_t type, std::string& failure);

 public:
  // Must stay the first member: the host reads the table through it.
  const VrSlotFn* const table_;

 private:
  CommBlockChannel block_channel_;
  std::unique_ptr<TUrovn> link_;  // swapped only under lock_
  std::atomic<uint8_t> link_state_{VRSILO_LINK_OK};
  std::atomic<uint8_t> connection_type_;
  std::atomic<int32_t> update_period_ms_{0};
  std::atomic<uint8_t> reply_length_{0};
  // The six command characters of the request in flight, which a reply must
  // echo; written under lock_ before the pending flag is raised.
  std::array<uint8_t, kCommandLength> request_echo_{};
  std::atomic<bool> request_pending_{false};
  std::array<CachedReading, kTankCount> tanks_{};
  std::array<std::array<std::atomic<double>, kStampKinds>, kTankCount> stamps_{};
  std::recursive_mutex lock_;
  bool refresh_all_ = false;
  // The gauge did not answer a request for every tank: asked per tank for the
  // rest of this link's life. Guarded by lock_.
  bool all_tanks_refused_ = false;
  // What the reply check said in the current attempt (under lock_).
  struct CheckRecord {
    bool ran = false;
    ReplyFault fault = ReplyFault::kNone;
    size_t length = 0;
  } last_check_;
  std::unique_ptr<ExchangeTrace> trace_;  // none unless configured
  std::string link_name_;                 // for the trace; set with the connection type
  bool menu_pending_ = true;

  friend struct SiloTestAccess;
};

// Optional hook through which a GUI layer adds the settings item to the host's
// menu (slot 15). Without a GUI it stays empty and slot 15 adds nothing.
using MenuHook = void (*)(TSilo* silo, void* menu);
void SetMenuHook(MenuHook hook);
// Called when a driver object goes away so that its menu item goes with it.
using MenuRemoveHook = void (*)(TSilo* silo);
void SetMenuRemoveHook(MenuRemoveHook hook);

// Entry-point logic (the exported functions only forward to these).
TSilo* CreateSiloEx2(void* host, uint32_t reserved, uintptr_t mainWindow);
TSilo* CreateSiloEx3(void* host, int32_t number, uint32_t viaBlock);
// The static slot table shared by every driver object.
const VrSlotFn* SiloSlotTable();

}  // namespace vr
