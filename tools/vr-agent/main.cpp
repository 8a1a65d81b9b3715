// vr-agent: publishes every tank of one station's gauges to an MQTT broker.
// It reads each gauge on a thread of its own through the library's gauge
// interface and hands the messages to the publisher. SIGTERM and SIGINT end
// it: readers stopped, "offline" published, gauges closed.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "command_line.h"
#include "gauge_reader.h"
#include "history.h"
#include "metrics_server.h"
#include "options.h"
#include "publisher.h"
#include "replay.h"
#include "station_config.h"
#include "wall_clock.h"

int main(int argc, char** argv) {
  using namespace vr::agent;
  Options options;
  const int exit_now = vr::tools::StartCommandLine("vr-agent", kUsage, [&] {
    options = ParseOptions(argc, argv);
    if (!options.metrics.empty()) {
      std::string host;
      int port = 0;
      ParseListenAddress(options.metrics, host, port);  // a bad address is a usage error
    }
    return options.help;
  });
  if (exit_now >= 0) return exit_now;
  StationConfig config;
  try {
    if (!options.configFile.empty()) config = StationConfig::Load(options.configFile);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "vr-agent: %s\n", e.what());
    return 2;
  }
  if (!options.replayFile.empty()) {
    std::ifstream csv(options.replayFile);
    if (!csv) {
      std::fprintf(stderr, "vr-agent: cannot read %s\n", options.replayFile.c_str());
      return 2;
    }
    return Replay(csv, options.replayFile, config, stdout);
  }

  // Signals are taken by sigwait on this thread only; every thread started
  // below inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The history is a help, not a condition: without it the readings go on.
  History history(options.dataDir, options.historyDays);
  if (!history.Ok())
    std::fprintf(stderr, "vr-agent: history: %s; going on without it\n", history.Error().c_str());
  History* const kept = history.Ok() ? &history : nullptr;
  StationState state(options.site, vr::tools::UtcNowMs());
  state.SetCadence(options.periodSeconds, options.heartbeatSeconds);
  Publisher publisher(options);
  state.SetPublisherCounters([&publisher] { return publisher.Counters(); });
  std::vector<std::unique_ptr<GaugeReader>> readers;
  // Home Assistant asks for the discovery again when it comes online.
  if (!options.haPrefix.empty())
    publisher.Subscribe(options.haPrefix + "/status", [&readers](const std::string& payload) {
      if (payload == "online")
        for (auto& r : readers) r->Rediscover();
    });
  MetricsServer metrics(state);
  if (!options.metrics.empty()) {
    std::string host;
    int port = 0;
    ParseListenAddress(options.metrics, host, port);
    const std::string why = metrics.Start(host, port);
    if (!why.empty()) {
      std::fprintf(stderr, "vr-agent: %s\n", why.c_str());
      return 1;
    }
  }
  const std::string error = publisher.Start();
  if (!error.empty()) {
    std::fprintf(stderr, "vr-agent: %s\n", error.c_str());
    return 1;
  }
  for (const GaugeOption& g : options.gauges)
    readers.push_back(std::make_unique<GaugeReader>(g, "vrsilo/" + options.site + "/" + g.name,
                                                    options, config, kept, state, publisher));
  for (auto& r : readers) r->Start();
  if (options.tanksGiven)
    std::fprintf(stderr, "vr-agent: %zu gauge(s), tanks %d-%d every %d s, site %s\n",
                 readers.size(), options.firstTank, options.lastTank, options.periodSeconds,
                 options.site.c_str());
  else
    std::fprintf(stderr, "vr-agent: %zu gauge(s), every tank reported, every %d s, site %s\n",
                 readers.size(), options.periodSeconds, options.site.c_str());
  // The agent's own status, retained: when a gauge's link or the last error
  // changed, and hourly besides.
  const std::string statusTopic = "vrsilo/" + options.site + "/agent";
  std::string status, published;
  int sig = 0;
  int64_t lastStatus = 0;
  for (;;) {
    const int64_t now = vr::tools::UtcNowMs();
    const std::string key = state.ChangeKey();
    if (key != published || now - lastStatus >= 3600 * 1000) {
      state.FormatStatus(status, now);
      publisher.Publish(&statusTopic, status);
      published = key;
      lastStatus = now;
    }
    const timespec wait{1, 0};
    sig = sigtimedwait(&signals, nullptr, &wait);
    if (sig > 0) break;
  }
  std::fprintf(stderr, "vr-agent: signal %d, stopping\n", sig);
  for (auto& r : readers) r->Stop();
  publisher.Stop(std::chrono::seconds(3));
  readers.clear();
  return 0;
}
