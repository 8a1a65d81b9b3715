#include "publisher.h"

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace vr::agent {
namespace {

// Messages handed to libmosquitto and not yet acknowledged: bounds its own
// queue, so that the limit of our queue is what holds while the broker is away.
constexpr int kWindow = 64;
constexpr int kMaxBackoffSeconds = 30;

}  // namespace

Publisher::Publisher(const Options& options)
    : options_(options),
      status_topic_("vrsilo/" + options.site + "/status"),
      ring_(static_cast<size_t>(options.queueLimit)) {
  mosquitto_lib_init();
}

Publisher::~Publisher() {
  Stop(std::chrono::milliseconds(0));
  if (mosq_) mosquitto_destroy(mosq_);
  mosquitto_lib_cleanup();
}

std::string Publisher::Start() {
  std::string clientId = "vr-agent-" + options_.site;
  mosq_ = mosquitto_new(clientId.c_str(), true, this);
  if (!mosq_) return "cannot create the MQTT client";
  mosquitto_connect_callback_set(mosq_, &OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &OnPublish);
  mosquitto_message_callback_set(mosq_, &OnMessage);
  // Our own network thread runs the client; publish() from other threads only queues.
  mosquitto_threaded_set(mosq_, true);
  int rc = mosquitto_will_set(mosq_, status_topic_.c_str(), 7, "offline", 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !options_.user.empty())
    rc = mosquitto_username_pw_set(mosq_, options_.user.c_str(),
                                   options_.password.empty() ? nullptr : options_.password.c_str());
  if (rc == MOSQ_ERR_SUCCESS && options_.broker.tls)
    rc = mosquitto_tls_set(mosq_, options_.caFile.empty() ? nullptr : options_.caFile.c_str(),
                           options_.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr,
                           nullptr);
  if (rc != MOSQ_ERR_SUCCESS) return mosquitto_strerror(rc);
  started_ = true;
  network_ = std::thread([this] { NetworkLoop(); });
  sender_ = std::thread([this] { SendLoop(); });
  return {};
}

// Connects, runs the client until the connection ends, waits the back-off
// (1 s doubling to 30 s, back to 1 s after a good connection) and again,
// until Stop. The wait and the client's select both end at once on Stop.
void Publisher::NetworkLoop() {
  bool told = false;
  for (;;) {
    int rc = mosquitto_connect_async(mosq_, options_.broker.host.c_str(), options_.broker.port,
                                     options_.keepAliveSeconds);
    // After Stop a few more turns send the DISCONNECT; a connection still
    // being made is then given up.
    for (int after_stop = 0; rc == MOSQ_ERR_SUCCESS && after_stop < 5;) {
      rc = mosquitto_loop(mosq_, network_stop_flag_ ? 100 : 1000, 1);
      if (network_stop_flag_) ++after_stop;
    }
    std::unique_lock lock(mu_);
    connected_ = false;
    cv_.notify_all();
    if (network_stop_) break;
    if (!told) {
      std::fprintf(stderr, "vr-agent: broker %s:%d not reached (%s), retrying\n",
                   options_.broker.host.c_str(), options_.broker.port, mosquitto_strerror(rc));
      told = true;
    }
    if (cv_.wait_for(lock, std::chrono::seconds(backoff_), [&] { return network_stop_; })) break;
    backoff_ = std::min(backoff_ * 2, kMaxBackoffSeconds);
  }
}

void Publisher::Publish(const std::string* topic, std::string_view payload, bool retain) {
  std::lock_guard lock(mu_);
  if (stopping_) return;
  if (count_ == ring_.size()) {  // full: the oldest goes
    head_ = (head_ + 1) % ring_.size();
    --count_;
    ++dropped_;
  }
  Message& slot = ring_[(head_ + count_) % ring_.size()];
  slot.topic = topic;
  slot.retain = retain;
  slot.payload.assign(payload);  // the slot keeps its capacity: no allocation once warm
  ++count_;
  cv_.notify_all();
}

void Publisher::SendLoop() {
  std::string payload;
  std::unique_lock lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return stopping_ || (connected_ && count_ > 0 && inflight_ < kWindow); });
    if (stopping_) break;
    Message& slot = ring_[head_];
    const std::string* topic = slot.topic;
    const bool retain = slot.retain;
    payload.swap(slot.payload);
    head_ = (head_ + 1) % ring_.size();
    --count_;
    ++inflight_;
    lock.unlock();
    int mid = 0;
    int rc = mosquitto_publish(mosq_, &mid, topic->c_str(), static_cast<int>(payload.size()),
                               payload.data(), 1, retain);
    lock.lock();
    if (rc == MOSQ_ERR_NO_CONN) {  // the connection just went: back in front, sent later
      --inflight_;
      if (count_ < ring_.size()) {
        head_ = (head_ + ring_.size() - 1) % ring_.size();
        ring_[head_].topic = topic;
        ring_[head_].retain = retain;
        ring_[head_].payload.swap(payload);
        ++count_;
      } else {
        ++dropped_;
      }
      cv_.wait_for(lock, std::chrono::seconds(1), [&] { return stopping_; });
    } else if (rc != MOSQ_ERR_SUCCESS) {  // this message cannot be sent at all
      --inflight_;
      ++dropped_;
      std::fprintf(stderr, "vr-agent: %s not published: %s\n", topic->c_str(),
                   mosquitto_strerror(rc));
    }
  }
}

void Publisher::OnConnect(mosquitto* m, void* p, int rc) {
  auto* self = static_cast<Publisher*>(p);
  if (rc != 0) {
    std::fprintf(stderr, "vr-agent: broker refused the connection: %s\n",
                 mosquitto_connack_string(rc));
    return;
  }
  int mid = -1;
  mosquitto_publish(m, &mid, self->status_topic_.c_str(), 6, "online", 1, true);
  if (!self->subscription_.empty()) mosquitto_subscribe(m, nullptr, self->subscription_.c_str(), 1);
  std::lock_guard lock(self->mu_);
  self->online_mid_ = mid;
  std::fprintf(stderr, "vr-agent: connected to %s:%d\n", self->options_.broker.host.c_str(),
               self->options_.broker.port);
  if (self->dropped_ != self->dropped_logged_) {
    std::fprintf(stderr, "vr-agent: %llu messages dropped while the broker was away\n",
                 static_cast<unsigned long long>(self->dropped_ - self->dropped_logged_));
    self->dropped_logged_ = self->dropped_;
  }
  self->connected_ = true;
  self->backoff_ = 1;
  // What was in flight when the connection went is the client's to resend;
  // its acknowledgements are not waited for.
  self->inflight_ = 0;
  self->cv_.notify_all();
}

void Publisher::OnDisconnect(mosquitto*, void* p, int rc) {
  auto* self = static_cast<Publisher*>(p);
  std::lock_guard lock(self->mu_);
  if (rc != 0 && self->connected_) std::fprintf(stderr, "vr-agent: broker connection lost\n");
  self->connected_ = false;
  self->cv_.notify_all();
}

void Publisher::OnPublish(mosquitto*, void* p, int mid) {
  auto* self = static_cast<Publisher*>(p);
  std::lock_guard lock(self->mu_);
  if (mid == self->offline_mid_)
    self->offline_sent_ = true;
  else if (mid == self->online_mid_)
    self->online_mid_ = -1;
  else if (self->inflight_ > 0)
    --self->inflight_;
  if (mid != self->offline_mid_) ++self->acked_;
  self->cv_.notify_all();
}

void Publisher::OnMessage(mosquitto*, void* p, const mosquitto_message* message) {
  auto* self = static_cast<Publisher*>(p);
  if (!self->on_message_ || !message->payload) return;
  self->on_message_(std::string(static_cast<const char*>(message->payload),
                                static_cast<size_t>(message->payloadlen)));
}

PublisherCounters Publisher::Counters() const {
  std::lock_guard lock(mu_);
  return PublisherCounters{acked_, count_ + static_cast<uint64_t>(inflight_), dropped_};
}

void Publisher::Stop(std::chrono::milliseconds timeout) {
  if (!started_) return;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mu_);
  // Let the sender empty the queue while connected, then wait for the acks.
  cv_.wait_until(lock, deadline, [&] { return !connected_ || (count_ == 0 && inflight_ == 0); });
  stopping_ = true;
  cv_.notify_all();
  lock.unlock();
  if (sender_.joinable()) sender_.join();
  lock.lock();
  if (connected_) {
    int mid = -1;
    lock.unlock();
    // The client's callback lock is not ours: publish unlocked, then wait for the ack.
    int rc = mosquitto_publish(mosq_, &mid, status_topic_.c_str(), 7, "offline", 1, true);
    lock.lock();
    if (rc == MOSQ_ERR_SUCCESS) {
      offline_mid_ = mid;
      cv_.wait_until(lock, deadline + std::chrono::seconds(1),
                     [&] { return offline_sent_ || !connected_; });
    }
  }
  if (dropped_ != dropped_logged_)
    std::fprintf(stderr, "vr-agent: %llu messages dropped while the broker was away\n",
                 static_cast<unsigned long long>(dropped_ - dropped_logged_));
  dropped_logged_ = dropped_;
  network_stop_ = true;
  network_stop_flag_ = true;
  cv_.notify_all();
  lock.unlock();
  mosquitto_disconnect(mosq_);  // the network thread sends it, then its loop ends
  network_.join();
  started_ = false;
}

}  // namespace vr::agent
