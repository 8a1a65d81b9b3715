#pragma once
// vr-agent's command line: parsed into Options or std::invalid_argument with
// a one-line reason.
#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "tank_fields.h"

namespace vr::agent {

struct GaugeOption {
  std::string address;  // as vrsilo_gauge_open takes it
  std::string name;     // the topic level: "COM1", "ttyUSB0", "10.0.0.5:4001", or NAME=
};

struct BrokerAddress {
  std::string host;
  int port = 0;
  bool tls = false;
};

struct Options {
  std::vector<GaugeOption> gauges;
  int firstTank = 1, lastTank = 99;  // by default every tank the console reports
  bool tanksGiven = false;           // --tanks: a silent gauge's tanks are flagged too
  int periodSeconds = 10;
  BrokerAddress broker;
  std::string caFile;
  std::string user;
  std::string password;  // read from --password-file
  std::string site;
  int heartbeatSeconds = 900;
  int keepAliveSeconds = 30;  // the broker gives the will this long and half as much again
  // By the fields of the tank message (kTankFields): how far each must move to
  // be published before the heartbeat.
  std::array<double, kTankFieldCount> deadbands = {1, 10, 10, 10, 1, 5, 0.2, 0.5, 0.5, 10};
  bool insecure = false;  // a password over plain mqtt:// to another machine
  std::string metrics;    // --metrics ADDR:PORT
  std::string haPrefix;   // --ha-discovery: the discovery prefix, empty = off
  int queueLimit = 10000;
  int reportsSeconds = 300;  // labels, deliveries and forecasts; alarms every period
  std::string configFile;    // the tanks' thresholds
  std::string dataDir = "/var/lib/vrsilo";
  int historyDays = 60;
  std::string replayFile;  // --replay: the engine over a CSV, nothing else
  bool help = false;
};

// "level=1,volume=10": the named deadbands; throws std::invalid_argument.
void ParseDeadbands(const std::string& text, std::array<double, kTankFieldCount>& deadbands);

// Parses argv; throws std::invalid_argument on a bad option or value.
Options ParseOptions(int argc, char** argv);

// "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]", HOST a name, IPv4 or [IPv6].
BrokerAddress ParseBrokerUrl(const std::string& url);

extern const char kUsage[];

}  // namespace vr::agent
