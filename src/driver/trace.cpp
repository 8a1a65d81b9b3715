#include "driver/trace.h"

#include <cstdlib>

#include "common/clock.h"
#include "config/settings.h"

namespace vr {
namespace {

constexpr size_t kHistogramMs = 16384;

std::string_view kWords[] = {
    "ok",        "no reply within 1.5 s", "half frame",  "bad checksum", "reply to another request",
    "bad frame", "send refused",          "block error", "no link",
};
static_assert(std::size(kWords) == static_cast<size_t>(ExchangeOutcome::kCount));

// The millisecond bucket below which `share` of the counted exchanges lie.
uint32_t Percentile(const std::vector<uint32_t>& histogram, uint64_t total, double share) {
  if (total == 0) return 0;
  const uint64_t rank = static_cast<uint64_t>(share * static_cast<double>(total - 1));
  uint64_t seen = 0;
  for (size_t ms = 0; ms < histogram.size(); ++ms) {
    seen += histogram[ms];
    if (seen > rank) return static_cast<uint32_t>(ms);
  }
  return static_cast<uint32_t>(histogram.size() - 1);
}

}  // namespace

std::string_view OutcomeWords(ExchangeOutcome outcome) {
  return kWords[static_cast<size_t>(outcome)];
}

void AppendTraceBytes(std::string& out, const uint8_t* bytes, size_t count) {
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < count; ++i) {
    const uint8_t b = bytes[i];
    if (b == 0x01) {
      out += "<SOH>";
    } else if (b == 0x03) {
      out += "<ETX>";
    } else if (b >= 0x20 && b < 0x7F && b != '<') {
      out += static_cast<char>(b);
    } else {
      out += '<';
      out += kHex[b >> 4];
      out += kHex[b & 15];
      out += '>';
    }
  }
}

ExchangeTrace::ExchangeTrace(std::string path, size_t maxFileSize)
    : path_(std::move(path)), max_size_(maxFileSize), histogram_(kHistogramMs) {
  pending_.reserve(16384);
  writing_.reserve(16384);
}

ExchangeTrace::~ExchangeTrace() {
  Note("", Summary());
  Flush();
  std::lock_guard<std::mutex> guard(file_mu_);
  if (file_) std::fclose(file_);
}

void ExchangeTrace::Attempt(std::string_view link, ExchangeOutcome outcome,
                            std::chrono::microseconds took, const uint8_t* request,
                            size_t requestLength, const uint8_t* reply, size_t replyLength) {
  std::string line = FormatDateTime(CurrentClock().Now());
  line += ' ';
  line += link;
  line += ' ';
  line += OutcomeWords(outcome);
  line += ' ';
  line += std::to_string((took.count() + 500) / 1000);
  line += " ms > ";
  AppendTraceBytes(line, request, requestLength);
  if (replyLength > 0) {
    line += " < ";
    AppendTraceBytes(line, reply, replyLength);
  }
  line += '\n';
  std::lock_guard<std::mutex> guard(collect_mu_);
  ++attempts_;
  ++outcomes_[static_cast<int>(outcome)];
  sent_ += requestLength;
  received_ += replyLength;
  pending_ += line;
}

void ExchangeTrace::ExchangeDone(std::chrono::microseconds took) {
  const auto ms = static_cast<uint64_t>(took.count() / 1000);
  std::lock_guard<std::mutex> guard(collect_mu_);
  ++exchanges_;
  ++histogram_[ms < kHistogramMs ? ms : kHistogramMs - 1];
}

void ExchangeTrace::Note(std::string_view link, std::string_view text) {
  std::string line = FormatDateTime(CurrentClock().Now());
  if (!link.empty()) {
    line += ' ';
    line += link;
  }
  line += ' ';
  line += text;
  line += '\n';
  std::lock_guard<std::mutex> guard(collect_mu_);
  pending_ += line;
}

std::string ExchangeTrace::Summary() const {
  std::lock_guard<std::mutex> guard(collect_mu_);
  std::string s = "summary: " + std::to_string(exchanges_) + " exchanges, " +
                  std::to_string(attempts_) + " attempts";
  for (size_t k = 0; k < std::size(kWords); ++k) {
    if (outcomes_[k] == 0) continue;
    s += ", ";
    s += kWords[k];
    s += ' ' + std::to_string(outcomes_[k]);
  }
  s += "; " + std::to_string(sent_) + " bytes sent, " + std::to_string(received_) +
       " received; exchange time median " +
       std::to_string(Percentile(histogram_, exchanges_, 0.5)) + " ms, 99th percentile " +
       std::to_string(Percentile(histogram_, exchanges_, 0.99)) + " ms";
  return s;
}

void ExchangeTrace::Flush() {
  std::lock_guard<std::mutex> file(file_mu_);
  {
    std::lock_guard<std::mutex> guard(collect_mu_);
    if (pending_.empty()) return;
    writing_.swap(pending_);
  }
  WriteLocked(writing_);
  writing_.clear();
}

void ExchangeTrace::WriteLocked(const std::string& text) {
  if (file_ && file_size_ + text.size() > max_size_ && file_size_ > 0) {
    // The file is full: it becomes PATH.1 (replacing an older one).
    std::fclose(file_);
    file_ = nullptr;
    const std::string old = path_ + ".1";
    std::remove(old.c_str());
    std::rename(path_.c_str(), old.c_str());
  }
  if (!file_) {
    file_ = std::fopen(path_.c_str(), "ab");
    if (!file_) return;  // unwritable: the lines are dropped
    std::fseek(file_, 0, SEEK_END);
    const long at = std::ftell(file_);
    file_size_ = at > 0 ? static_cast<size_t>(at) : 0;
    if (file_size_ + text.size() > max_size_ && file_size_ > 0) {
      WriteLocked(text);  // rotates first
      return;
    }
  }
  if (std::fwrite(text.data(), 1, text.size(), file_) == text.size()) file_size_ += text.size();
  std::fflush(file_);
}

std::unique_ptr<ExchangeTrace> OpenConfiguredTrace() {
  std::string path;
  if (const char* env = std::getenv("VRSILO_TRACE"); env && *env) {
    path = env;
  } else {
    path = ReadTraceFile();
  }
  if (path.empty()) return nullptr;
  return std::make_unique<ExchangeTrace>(std::move(path));
}

}  // namespace vr
