#pragma once
// vr-agent's command line: parsed into Options or std::invalid_argument with
// a one-line reason.
#include <string>
#include <vector>

namespace vr::agent {

struct GaugeOption {
  int number = 0;          // COM number
  std::string name;        // "COM1", "block7": the topic level
  bool agentBlock = false;  // read through the agent's own communication block
};

struct BrokerAddress {
  std::string host;
  int port = 0;
  bool tls = false;
};

struct Options {
  std::string library;  // empty: the built library, else libvrsilo.so.3
  std::vector<GaugeOption> gauges;
  int firstTank = 1, lastTank = 16;
  int periodSeconds = 0;  // 0: the settings file's refresh period
  BrokerAddress broker;
  std::string caFile;
  std::string user;
  std::string password;  // read from --password-file
  std::string site;
  int heartbeatSeconds = 60;
  int queueLimit = 10000;
  bool help = false;
};

// Parses argv; throws std::invalid_argument on a bad option or value.
Options ParseOptions(int argc, char** argv);

// "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]", HOST a name, IPv4 or [IPv6].
BrokerAddress ParseBrokerUrl(const std::string& url);

extern const char kUsage[];

}  // namespace vr::agent
