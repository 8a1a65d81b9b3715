#pragma once
// The exchange trace for technicians: one line per attempt of every exchange
// (time, link, outcome in words, duration, the bytes each way), connection
// changes, and a summary line when the driver object goes. Off unless a path
// is given. Lines are collected under the exchange lock and written after it
// is released; a trace that cannot be written costs nothing but the trace.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/exchange_outcome.h"

namespace vr {

std::string_view OutcomeWords(ExchangeOutcome outcome);

// Bytes for a trace line: printable ASCII as is, SOH and ETX as <SOH> and
// <ETX>, anything else as <xx> (two hex digits).
void AppendTraceBytes(std::string& out, const uint8_t* bytes, size_t count);

class ExchangeTrace {
 public:
  static constexpr size_t kMaxFileSize = 1 << 20;

  // path: where the lines go (PATH.1 holds the previous megabyte).
  explicit ExchangeTrace(std::string path, size_t maxFileSize = kMaxFileSize);
  ~ExchangeTrace();
  ExchangeTrace(const ExchangeTrace&) = delete;
  ExchangeTrace& operator=(const ExchangeTrace&) = delete;

  // Called under the exchange lock: collects, never writes.
  void Attempt(std::string_view link, ExchangeOutcome outcome, std::chrono::microseconds took,
               const uint8_t* request, size_t requestLength, const uint8_t* reply,
               size_t replyLength);
  void ExchangeDone(std::chrono::microseconds took);
  void Note(std::string_view link, std::string_view text);
  // Writes what was collected; called without the exchange lock.
  void Flush();
  // The summary line (also written when the trace goes).
  std::string Summary() const;

 private:
  void WriteLocked(const std::string& text);

  const std::string path_;
  const size_t max_size_;
  mutable std::mutex collect_mu_;  // pending_ and the counts
  std::string pending_;
  uint64_t exchanges_ = 0;
  uint64_t attempts_ = 0;
  uint64_t outcomes_[static_cast<int>(ExchangeOutcome::kCount)] = {};
  uint64_t sent_ = 0, received_ = 0;
  std::vector<uint32_t> histogram_;  // exchanges by whole milliseconds, the last one open
  std::mutex file_mu_;               // the file and writing_
  std::string writing_;
  std::FILE* file_ = nullptr;
  size_t file_size_ = 0;
};

// The trace a new driver object uses: the environment variable VRSILO_TRACE
// when set and not empty, else the settings key TraceFile; none without either.
std::unique_ptr<ExchangeTrace> OpenConfiguredTrace();

}  // namespace vr
