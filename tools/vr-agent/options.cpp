#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "command_line.h"

namespace vr::agent {

const char kUsage[] =
    "usage: vr-agent --broker URL --gauge COMn|block:n [options]\n"
    "Reads tanks through the driver library and publishes them to an MQTT broker.\n"
    "  --broker URL          mqtt://HOST[:PORT] (default port 1883) or mqtts://HOST[:PORT]\n"
    "                        (default port 8883); HOST a name, IPv4 or [IPv6]\n"
    "  --ca-file PATH        with mqtts://: the CA certificates (default /etc/ssl/certs)\n"
    "  --user NAME           user name at the broker\n"
    "  --password-file PATH  the password: the first line of PATH (needs --user)\n"
    "  --site NAME           the station's name in the topics (default: the host name)\n"
    "  --gauge COMn          a gauge on port COMn ([Ports] of the settings file): COM1..COM6\n"
    "                        on the library's own serial link, COM7..COM255 as block:n\n"
    "  --gauge block:n       a gauge on port COMn's line carried by the agent's own\n"
    "                        communication block (the library's block path); n 1..255\n"
    "                        --gauge is repeatable, at least one\n"
    "  --tanks A-B           tanks to read, 1..16 (default 1-16)\n"
    "  --period S            read every S seconds (default: CriticalUpdateTime of the\n"
    "                        settings file, at least 1)\n"
    "  --heartbeat S         publish an unchanged tank again after S seconds (default 60)\n"
    "  --queue N             messages kept while the broker is away (default 10000)\n"
    "  --lib PATH            driver library (default: the built libvrsilo.so, else\n"
    "                        libvrsilo.so.3 from the library path)\n"
    "  --help                this text\n"
    "Topics: vrsilo/SITE/GAUGE/tank/N (retained JSON), vrsilo/SITE/status (online/offline).\n"
    "Exit status: 0 after SIGTERM or SIGINT, 1 when the library cannot be loaded, 2 on a\n"
    "usage error.";

namespace {

using vr::tools::OptionNumber;

enum LongOption {
  kLib = vr::tools::kLongOption,
  kGauge,
  kTanks,
  kPeriod,
  kBroker,
  kCaFile,
  kUser,
  kPasswordFile,
  kSite,
  kHeartbeat,
  kQueue,
};

const option kLongOptions[] = {
    {"lib", required_argument, nullptr, kLib},
    {"gauge", required_argument, nullptr, kGauge},
    {"tanks", required_argument, nullptr, kTanks},
    {"period", required_argument, nullptr, kPeriod},
    {"broker", required_argument, nullptr, kBroker},
    {"ca-file", required_argument, nullptr, kCaFile},
    {"user", required_argument, nullptr, kUser},
    {"password-file", required_argument, nullptr, kPasswordFile},
    {"site", required_argument, nullptr, kSite},
    {"heartbeat", required_argument, nullptr, kHeartbeat},
    {"queue", required_argument, nullptr, kQueue},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

constexpr long long kLastLibraryPort = 6;
constexpr long long kLastPort = 255;

GaugeOption ParseGauge(const std::string& text) {
  GaugeOption g;
  // The library's own serial link names COM1..COM6; any other port is carried
  // by the agent's communication block.
  if (text.rfind("COM", 0) == 0) {
    g.number = static_cast<int>(OptionNumber("--gauge COMn", text.substr(3), 1, kLastPort));
    g.name = "COM" + std::to_string(g.number);
    g.agentBlock = g.number > kLastLibraryPort;
  } else if (text.rfind("block:", 0) == 0) {
    g.number = static_cast<int>(OptionNumber("--gauge block:n", text.substr(6), 1, kLastPort));
    g.name = "block" + std::to_string(g.number);
    g.agentBlock = true;
  } else {
    throw std::invalid_argument("--gauge: '" + text + "' is not COMn or block:n");
  }
  return g;
}

std::string ReadPassword(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line))
    throw std::invalid_argument("--password-file: cannot read '" + path + "'");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// A topic level: not empty, no separator or wildcard.
std::string TopicLevel(const char* option, const std::string& text) {
  if (text.empty() || text.find_first_of("/+#") != std::string::npos)
    throw std::invalid_argument(std::string(option) + ": '" + text +
                                "' must be non-empty without '/', '+' or '#'");
  return text;
}

}  // namespace

BrokerAddress ParseBrokerUrl(const std::string& url) {
  const std::invalid_argument bad("--broker: '" + url + "' is not mqtt[s]://HOST[:PORT]");
  BrokerAddress b;
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    b.tls = true;
  } else {
    throw bad;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  size_t hostEnd = 0;
  if (!rest.empty() && rest.front() == '[') {  // [IPv6]
    hostEnd = rest.find(']');
    if (hostEnd == std::string::npos) throw bad;
    b.host = rest.substr(1, hostEnd - 1);
    ++hostEnd;
  } else {
    hostEnd = std::min(rest.find(':'), rest.size());
    b.host = rest.substr(0, hostEnd);
  }
  if (b.host.empty() || b.host.find_first_of("/?@[] ") != std::string::npos) throw bad;
  b.port = b.tls ? 8883 : 1883;
  if (hostEnd < rest.size()) {
    if (rest[hostEnd] != ':') throw bad;
    try {
      b.port = static_cast<int>(OptionNumber("--broker", rest.substr(hostEnd + 1), 1, 65535));
    } catch (const std::invalid_argument&) {
      throw bad;
    }
  }
  return b;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  std::string passwordFile;
  const bool run = vr::tools::ForEachOption(argc, argv, kLongOptions, [&](int c) {
    switch (c) {
      case 'h':
        o.help = true;
        return false;
      case kLib:
        o.library = optarg;
        break;
      case kGauge:
        o.gauges.push_back(ParseGauge(optarg));
        break;
      case kTanks:
        vr::tools::ParseTanks(optarg, o.firstTank, o.lastTank);
        break;
      case kPeriod:
        o.periodSeconds = static_cast<int>(OptionNumber("--period", optarg, 1, 86400));
        break;
      case kBroker:
        o.broker = ParseBrokerUrl(optarg);
        break;
      case kCaFile:
        o.caFile = optarg;
        break;
      case kUser:
        o.user = optarg;
        break;
      case kPasswordFile:
        passwordFile = optarg;
        break;
      case kSite:
        o.site = TopicLevel("--site", optarg);
        break;
      case kHeartbeat:
        o.heartbeatSeconds = static_cast<int>(OptionNumber("--heartbeat", optarg, 1, 86400));
        break;
      case kQueue:
        o.queueLimit = static_cast<int>(OptionNumber("--queue", optarg, 1, 1000000));
        break;
    }
    return true;
  });
  if (!run) return o;
  if (o.broker.host.empty()) throw std::invalid_argument("--broker is required");
  if (o.gauges.empty()) throw std::invalid_argument("at least one --gauge is required");
  for (size_t i = 0; i < o.gauges.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (o.gauges[i].name == o.gauges[j].name)
        throw std::invalid_argument("--gauge " + o.gauges[i].name + " given twice");
  if (!o.caFile.empty() && !o.broker.tls)
    throw std::invalid_argument("--ca-file needs an mqtts:// broker");
  if (!o.caFile.empty() && access(o.caFile.c_str(), R_OK) != 0)
    throw std::invalid_argument("--ca-file: cannot read '" + o.caFile + "'");
  if (!passwordFile.empty()) {
    if (o.user.empty()) throw std::invalid_argument("--password-file needs --user");
    o.password = ReadPassword(passwordFile);
  }
  if (o.site.empty()) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    o.site = TopicLevel("the host name (give --site)", host);
  }
  return o;
}

}  // namespace vr::agent
