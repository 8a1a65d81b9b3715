// vr-agent: publishes every tank of one station's gauges to an MQTT broker.
// It reads each gauge on a thread of its own through the library's gauge
// interface and hands the messages to the publisher. SIGTERM and SIGINT end
// it: readers stopped, "offline" published, gauges closed.
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "gauge_reader.h"
#include "history.h"
#include "options.h"
#include "publisher.h"
#include "replay.h"
#include "station_config.h"

int main(int argc, char** argv) {
  using namespace vr::agent;
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "vr-agent: %s (see --help)\n", e.what());
    return 2;
  }
  if (options.help) {
    std::puts(kUsage);
    return 0;
  }
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
  Publisher publisher(options);
  std::vector<std::unique_ptr<GaugeReader>> readers;
  const std::string error = publisher.Start();
  if (!error.empty()) {
    std::fprintf(stderr, "vr-agent: %s\n", error.c_str());
    return 1;
  }
  for (const GaugeOption& g : options.gauges) {
    readers.push_back(std::make_unique<GaugeReader>(g, "vrsilo/" + options.site + "/" + g.name,
                                                    options, config, kept, publisher));
    readers.back()->Start();
  }
  if (options.tanksGiven)
    std::fprintf(stderr, "vr-agent: %zu gauge(s), tanks %d-%d every %d s, site %s\n",
                 readers.size(), options.firstTank, options.lastTank, options.periodSeconds,
                 options.site.c_str());
  else
    std::fprintf(stderr, "vr-agent: %zu gauge(s), every tank reported, every %d s, site %s\n",
                 readers.size(), options.periodSeconds, options.site.c_str());
  int sig = 0;
  sigwait(&signals, &sig);
  std::fprintf(stderr, "vr-agent: signal %d, stopping\n", sig);
  for (auto& r : readers) r->Stop();
  publisher.Stop(std::chrono::seconds(3));
  readers.clear();
  return 0;
}
