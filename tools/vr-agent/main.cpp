// vr-agent: publishes every configured tank of one station to an MQTT broker.
// It loads the driver library through its two entry points like any host,
// makes one driver object per gauge on the main thread, reads each gauge on
// a thread of its own and hands the messages to the publisher. SIGTERM and
// SIGINT end it: readers stopped, "offline" published, objects destroyed.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "comm_block.h"
#include "command_line.h"
#include "config/settings.h"
#include "driver_library.h"
#include "gauge_reader.h"
#include "options.h"
#include "publisher.h"
#include "vrsilo.h"

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

  // Signals are taken by sigwait on this thread only; every thread started
  // below inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // --lib, else the built library when it is there, else the installed one.
  std::string error;
  const vr::tools::DriverLibrary library = vr::tools::LoadDriverLibrary(
      options.library.empty() ? vr::tools::DefaultLibrary(VR_DEFAULT_LIBRARY, VR_LIBRARY_SONAME)
                              : options.library,
      error);
  if (!library.handle) {
    std::fprintf(stderr, "vr-agent: %s\n", error.c_str());
    return 1;
  }
  const int period =
      options.periodSeconds > 0 ? options.periodSeconds : std::max(1, vr::ReadUpdateSeconds());

  int status = 0;
  {
    Publisher publisher(options);
    std::vector<VrSilo*> silos;
    std::vector<std::unique_ptr<AgentCommBlock>> blocks;  // outlive their objects
    std::vector<std::unique_ptr<GaugeReader>> readers;
    error = publisher.Start();
    if (!error.empty()) {
      std::fprintf(stderr, "vr-agent: %s\n", error.c_str());
      status = 1;
    } else {
      for (const GaugeOption& g : options.gauges) {
        VrSilo* silo = nullptr;
        if (g.agentBlock) {
          // Block No. 1 of a block of the agent's own, set up as a host does
          // (slot 5) before the first read.
          blocks.push_back(std::make_unique<AgentCommBlock>(static_cast<uint16_t>(g.number)));
          silo = library.ex3(blocks.back()->Host(), 1, 1);
          if (silo) VRSILO_SLOT(silo, VrOpenCommBlockFn, VRSILO_SLOT_OPEN_COMM_BLOCK)(silo, 0);
        } else {
          silo = library.ex3(nullptr, g.number, 0);
        }
        if (!silo) continue;
        silos.push_back(silo);
        readers.push_back(
            std::make_unique<GaugeReader>(silo, "vrsilo/" + options.site + "/" + g.name, options,
                                          std::chrono::seconds(period), publisher));
        readers.back()->Start();
      }
      std::fprintf(stderr, "vr-agent: %zu gauge(s), tanks %d-%d every %d s, site %s\n",
                   readers.size(), options.firstTank, options.lastTank, period,
                   options.site.c_str());
      int sig = 0;
      sigwait(&signals, &sig);
      std::fprintf(stderr, "vr-agent: signal %d, stopping\n", sig);
    }
    for (auto& r : readers) r->Stop();
    publisher.Stop(std::chrono::seconds(3));
    // Objects go on the thread that made them, after their readers.
    readers.clear();
    for (VrSilo* s : silos) vrsilo_destroy(s);
    blocks.clear();
  }
  dlclose(library.handle);
  return status;
}
