// vr-office-load: the retained state of a fleet of stations on an office
// broker, as their agents would publish it, then K tank changes a second, for
// measuring the office page and the broker under load.
#include <mosquitto.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "command_line.h"
#include "fleet.h"
#include "wall_clock.h"

namespace {

using namespace vr::office_load;
using Clock = std::chrono::steady_clock;
using vr::tools::OptionNumber;

const char kUsage[] =
    "usage: vr-office-load [options]\n"
    "Publishes the retained state of N sites of M tanks to an MQTT broker as vr-agent would\n"
    "(status, agent, and per tank: readings, alarms, forecast, delivery, console alarms, a\n"
    "day's history), then moves K tanks' volumes a second.\n"
    "  --broker URL          mqtt://HOST[:PORT] (default mqtt://127.0.0.1, port 1883)\n"
    "  --user NAME           user name at the broker\n"
    "  --password-file PATH  the password: the first line of PATH\n"
    "  --sites N             sites (default 50, at most 9999)\n"
    "  --tanks M             tanks per site (default 4, at most 99)\n"
    "  --site-prefix P       sites are P0001, P0002, ... (default site-); gauge COM1\n"
    "  --changes K           tank changes a second, spread over the second (default 0: the\n"
    "                        retained state only, then exit)\n"
    "  --seconds S           how long the changes run (default 0: until SIGINT or SIGTERM)\n"
    "  --seed N              the fleet and its changes are the same for the same seed\n"
    "                        (default 1)\n"
    "  --log FILE            one line per change: publish_epoch_ms site gauge tank volume\n"
    "  --help                this text\n"
    "Every message is retained, QoS 1; the program exits once the broker acknowledged them.\n"
    "Exit status: 0 when done or stopped by a signal, 1 when the broker is not reached or\n"
    "the connection is lost, 2 on a usage error.";

struct Options {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string user, password;
  int sites = 50, tanks = 4, changes = 0, seconds = 0;
  std::string prefix = "site-";
  uint64_t seed = 1;
  std::string log;
  bool help = false;
};

enum LongOption {
  kBroker = vr::tools::kLongOption,
  kUser,
  kPasswordFile,
  kSites,
  kTanks,
  kSitePrefix,
  kChanges,
  kSeconds,
  kSeed,
  kLog,
};

const option kLongOptions[] = {
    {"broker", required_argument, nullptr, kBroker},
    {"user", required_argument, nullptr, kUser},
    {"password-file", required_argument, nullptr, kPasswordFile},
    {"sites", required_argument, nullptr, kSites},
    {"tanks", required_argument, nullptr, kTanks},
    {"site-prefix", required_argument, nullptr, kSitePrefix},
    {"changes", required_argument, nullptr, kChanges},
    {"seconds", required_argument, nullptr, kSeconds},
    {"seed", required_argument, nullptr, kSeed},
    {"log", required_argument, nullptr, kLog},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

void ParseBroker(const std::string& url, Options& o) {
  const std::invalid_argument bad("--broker: '" + url + "' is not mqtt://HOST[:PORT]");
  if (url.rfind("mqtt://", 0) != 0) throw bad;
  std::string rest = url.substr(7);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  size_t host_end = 0;
  if (!rest.empty() && rest.front() == '[') {  // [IPv6]
    host_end = rest.find(']');
    if (host_end == std::string::npos) throw bad;
    o.host = rest.substr(1, host_end - 1);
    ++host_end;
  } else {
    host_end = std::min(rest.find(':'), rest.size());
    o.host = rest.substr(0, host_end);
  }
  if (o.host.empty() || o.host.find_first_of("/?@[] ") != std::string::npos) throw bad;
  o.port = 1883;
  if (host_end < rest.size()) {
    if (rest[host_end] != ':') throw bad;
    o.port = static_cast<int>(OptionNumber("--broker", rest.substr(host_end + 1), 1, 65535));
  }
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  std::string password_file;
  vr::tools::ForEachOption(argc, argv, kLongOptions, [&](int c) {
    switch (c) {
      case 'h':
        o.help = true;
        return false;
      case kBroker:
        ParseBroker(optarg, o);
        break;
      case kUser:
        o.user = optarg;
        break;
      case kPasswordFile:
        password_file = optarg;
        break;
      case kSites:
        o.sites = static_cast<int>(OptionNumber("--sites", optarg, 1, 9999));
        break;
      case kTanks:
        o.tanks = static_cast<int>(OptionNumber("--tanks", optarg, 1, 99));
        break;
      case kSitePrefix:
        o.prefix = optarg;
        if (o.prefix.find_first_of("/+#") != std::string::npos)
          throw std::invalid_argument("--site-prefix: '" + o.prefix +
                                      "' must not hold '/', '+' or '#'");
        break;
      case kChanges:
        o.changes = static_cast<int>(OptionNumber("--changes", optarg, 0, 100000));
        break;
      case kSeconds:
        o.seconds = static_cast<int>(OptionNumber("--seconds", optarg, 0, 30 * 86400));
        break;
      case kSeed:
        o.seed = static_cast<uint64_t>(OptionNumber("--seed", optarg, 0, INT64_MAX));
        break;
      case kLog:
        o.log = optarg;
        break;
    }
    return true;
  });
  if (!password_file.empty()) {
    std::ifstream in(password_file);
    if (!in || !std::getline(in, o.password))
      throw std::invalid_argument("--password-file: cannot read '" + password_file + "'");
    if (!o.password.empty() && o.password.back() == '\r') o.password.pop_back();
  }
  return o;
}

// One libmosquitto client run by its own network thread. Publish blocks
// while kWindow messages await their acknowledgement, so that QoS 1 keeps the
// line full without piling the whole fleet into the client's queue. The same
// lock and condition carry the stop request, so that every wait ends on it.
class Client {
 public:
  static constexpr int kWindow = 1000;

  Client() { mosquitto_lib_init(); }
  ~Client() {
    Disconnect();
    if (mosq_) mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
  }

  std::string Connect(const Options& o) {
    const std::string id = "vr-office-load-" + std::to_string(getpid());
    mosq_ = mosquitto_new(id.c_str(), true, this);
    if (!mosq_) return "cannot create the MQTT client";
    mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
      static_cast<Client*>(self)->Update([&](Client& c) { c.connack_ = rc; });
    });
    mosquitto_disconnect_callback_set(mosq_, [](mosquitto*, void* self, int) {
      static_cast<Client*>(self)->Update([](Client& c) { c.lost_ = true; });
    });
    mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int) {
      static_cast<Client*>(self)->Update([](Client& c) {
        --c.outstanding_;
        ++c.acked_;
      });
    });
    int rc = mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, kWindow);
    if (rc == MOSQ_ERR_SUCCESS && !o.user.empty())
      rc = mosquitto_username_pw_set(mosq_, o.user.c_str(),
                                     o.password.empty() ? nullptr : o.password.c_str());
    // Connected by the network thread, so that a signal ends the wait.
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_connect_async(mosq_, o.host.c_str(), o.port, 60);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_start(mosq_);
    if (rc != MOSQ_ERR_SUCCESS) return mosquitto_strerror(rc);
    looping_ = true;
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return connack_ >= 0 || lost_ || stop_; });
    if (connack_ > 0) return mosquitto_connack_string(connack_);
    if (connack_ < 0) return stop_ ? "stopped" : "no answer from the broker";
    return {};
  }

  // False once stopped or the connection is gone.
  bool Publish(const std::string& topic, const std::string& payload) {
    {
      std::unique_lock lock(mu_);
      cv_.wait(lock, [&] { return outstanding_ < kWindow || stop_ || lost_; });
      if (stop_ || lost_) return false;
      ++outstanding_;
      ++sent_;
    }
    int rc = mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                               payload.data(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS) return true;
    std::fprintf(stderr, "vr-office-load: %s not published: %s\n", topic.c_str(),
                 mosquitto_strerror(rc));
    Update([](Client& c) {
      --c.outstanding_;
      --c.sent_;
      c.lost_ = true;
    });
    return false;
  }

  // Until `when`; false when stopped or the connection went meanwhile.
  bool WaitUntil(Clock::time_point when) {
    std::unique_lock lock(mu_);
    return !cv_.wait_until(lock, when, [&] { return stop_ || lost_; });
  }

  // Until the broker acknowledged everything; after a stop request half a
  // second more at most, so that a signal ends the program within a second.
  void Drain() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return outstanding_ == 0 || lost_ || stop_; });
    cv_.wait_for(lock, std::chrono::milliseconds(500), [&] { return outstanding_ == 0 || lost_; });
  }

  void RequestStop() {
    Update([](Client& c) { c.stop_ = true; });
  }

  void Disconnect() {
    if (!looping_) return;
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    looping_ = false;
  }

  struct Counts {
    long long sent, acked;
    bool lost, stopped;
  };
  Counts Get() {
    std::lock_guard lock(mu_);
    return {sent_, acked_, lost_ && !stop_, stop_};
  }

 private:
  template <typename F>
  void Update(F f) {
    std::lock_guard lock(mu_);
    f(*this);
    cv_.notify_all();
  }

  mosquitto* mosq_ = nullptr;
  bool looping_ = false;
  std::mutex mu_;
  std::condition_variable cv_;
  int connack_ = -1;
  int outstanding_ = 0;
  long long sent_ = 0, acked_ = 0;
  bool lost_ = false, stop_ = false;
};

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

int Run(const Options& o, Client& client) {
  FILE* log = nullptr;
  if (!o.log.empty() && !(log = std::fopen(o.log.c_str(), "w"))) {
    std::fprintf(stderr, "vr-office-load: cannot write %s\n", o.log.c_str());
    return 2;
  }
  if (std::string error = client.Connect(o); !error.empty()) {
    std::fprintf(stderr, "vr-office-load: broker %s:%d: %s\n", o.host.c_str(), o.port,
                 error.c_str());
    if (log) std::fclose(log);
    return client.Get().stopped ? 0 : 1;
  }

  // The retained state, each site made and read at its own moment; its
  // history is not needed after.
  const auto initial_start = Clock::now();
  std::vector<Site> fleet;
  fleet.reserve(static_cast<size_t>(o.sites));
  bool going = true;
  for (int s = 0; going && s < o.sites; ++s) {
    const int64_t now = vr::tools::UtcNowMs();
    fleet.push_back(MakeSite(o.seed, s, o.tanks, o.prefix, now));
    for (const Message& m : SiteMessages(fleet.back(), now))
      if (!(going = client.Publish(m.topic, m.payload))) break;
    for (Tank& tank : fleet.back().tanks) std::vector<double>().swap(tank.history);
  }
  client.Drain();
  const auto initial = client.Get();
  const double initial_seconds = Seconds(Clock::now() - initial_start);
  std::fprintf(stderr,
               "vr-office-load: initial state: %lld messages (%d sites x %d tanks) acknowledged "
               "in %.2f s, %.0f/s%s\n",
               initial.acked, o.sites, o.tanks, initial_seconds,
               static_cast<double>(initial.acked) / initial_seconds,
               initial.stopped ? " (stopped)" : "");

  // The changes: one every 1/K s from a fixed start, so that a late one does
  // not shift those after it.
  long long changes = 0;
  if (going && o.changes > 0) {
    Random random(o.seed ^ 0x5A5A5A5AC3C3C3C3ULL);
    const auto interval = std::chrono::nanoseconds(1000000000LL / o.changes);
    const long long total = static_cast<long long>(o.changes) * o.seconds;  // 0: no end
    const auto changes_start = Clock::now();
    std::string volume;
    for (; total == 0 || changes < total; ++changes) {
      if (!client.WaitUntil(changes_start + changes * interval)) break;
      Site& site = fleet[random.Next() % fleet.size()];
      Tank& tank = site.tanks[random.Next() % site.tanks.size()];
      ChangeVolume(tank, random);
      const int64_t now = vr::tools::UtcNowMs();
      if (!client.Publish(TankTopic(site, tank), TankPayload(tank, now))) break;
      if (log) {
        volume.clear();
        Num(volume, tank.volume, 2);  // as in the message
        std::fprintf(log, "%lld %s %s %d %s\n", static_cast<long long>(now), site.name.c_str(),
                     kGauge, tank.number, volume.c_str());
      }
    }
    if (changes == total) client.WaitUntil(changes_start + total * interval);
    const double seconds = Seconds(Clock::now() - changes_start);
    client.Drain();
    std::fprintf(stderr, "vr-office-load: changes: %lld in %.2f s, %.2f/s\n", changes, seconds,
                 static_cast<double>(changes) / seconds);
  }
  if (log) std::fclose(log);
  const auto done = client.Get();
  std::fprintf(stderr, "vr-office-load: %lld messages sent, %lld acknowledged\n", done.sent,
               done.acked);
  client.Disconnect();
  if (done.lost) {
    std::fprintf(stderr, "vr-office-load: the broker connection was lost\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int exit_now = vr::tools::StartCommandLine("vr-office-load", kUsage, [&] {
    options = ParseOptions(argc, argv);
    return options.help;
  });
  if (exit_now >= 0) return exit_now;
  // Signals go to one thread, blocked in sigwait; SIGUSR1 from main ends it.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Client client;
  std::thread waiter([&] {
    for (int sig = 0; sigwait(&signals, &sig) == 0 && sig != SIGUSR1;) client.RequestStop();
  });
  const int status = Run(options, client);
  pthread_kill(waiter.native_handle(), SIGUSR1);
  waiter.join();
  return status;
}
