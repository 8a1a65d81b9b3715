#pragma once
// The MQTT side of vr-agent: one libmosquitto client run by a network thread
// of ours, a bounded queue filled by the gauge readers, and a
// sender thread that hands queued messages to the client while it is
// connected. The status topic is "online" while connected, and the broker
// publishes the retained will "offline" when the connection is lost.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "options.h"
#include "station_state.h"

struct mosquitto;
struct mosquitto_message;

namespace vr::agent {

class Publisher {
 public:
  explicit Publisher(const Options& options);
  ~Publisher();
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // Sets up the client and starts connecting (the broker need not be up yet).
  // Returns an error text, empty on success.
  std::string Start();
  // Queues a QoS 1 message, retained unless it is an event. topic must
  // outlive the publisher. When the queue is full the oldest message is
  // dropped and counted.
  void Publish(const std::string* topic, std::string_view payload, bool retain = true);
  // Calls `on_message` (on the network thread) with the payload of every
  // message on `topic`, subscribed at each connection. Set before Start.
  void Subscribe(std::string topic, std::function<void(const std::string&)> on_message) {
    subscription_ = std::move(topic);
    on_message_ = std::move(on_message);
  }
  PublisherCounters Counters() const;
  // Sends what is queued (at most timeout), publishes "offline" and
  // disconnects.
  void Stop(std::chrono::milliseconds timeout);

 private:
  struct Message {
    const std::string* topic = nullptr;
    std::string payload;
    bool retain = true;
  };
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  void SendLoop();
  void NetworkLoop();

  const Options& options_;
  const std::string status_topic_;
  mosquitto* mosq_ = nullptr;
  bool started_ = false;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Message> ring_;  // --queue slots; each keeps its payload's capacity
  size_t head_ = 0, count_ = 0;
  int inflight_ = 0;  // handed to libmosquitto, not yet acknowledged
  bool connected_ = false, stopping_ = false, network_stop_ = false;
  std::atomic<bool> network_stop_flag_{false};  // network_stop_, read without the lock
  int backoff_ = 1;                             // seconds before the next connection attempt
  uint64_t dropped_ = 0, dropped_logged_ = 0;
  uint64_t acked_ = 0;  // acknowledged by the broker
  std::string subscription_;
  std::function<void(const std::string&)> on_message_;
  int offline_mid_ = -1, online_mid_ = -1;
  bool offline_sent_ = false;
  std::thread sender_, network_;
};

}  // namespace vr::agent
