#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "command_line.h"

namespace vr::agent {

const char kUsage[] =
    "usage: vr-agent --gauge ADDRESS [options]\n"
    "Reads every field the tank gauges send and publishes them to an MQTT broker.\n"
    "  --broker URL          mqtt://HOST[:PORT] (default port 1883) or mqtts://HOST[:PORT]\n"
    "                        (default port 8883); HOST a name, IPv4 or [IPv6]. Default:\n"
    "                        mqtt://127.0.0.1, the station's own broker\n"
    "  --ca-file PATH        with mqtts://: the CA certificates (default /etc/ssl/certs)\n"
    "  --user NAME           user name at the broker\n"
    "  --password-file PATH  the password: the first line of PATH (needs --user)\n"
    "  --site NAME           the station's name in the topics (default: the host name)\n"
    "  --gauge [NAME=]ADDRESS  a gauge: /dev/ttyUSB0 (9600 8N1), tcp://HOST:PORT,\n"
    "                        rfc2217://HOST:PORT, or COMn through [Ports] of the settings\n"
    "                        file; NAME (default: COMn, the device's name, or HOST:PORT)\n"
    "                        is its topic level. Repeatable, at least one\n"
    "  --tanks A-B           tanks to read, 1..99 (default: every tank the console reports)\n"
    "  --period S            read each gauge every S seconds (default 10)\n"
    "  --heartbeat S         publish an unchanged tank again after S seconds (default 900)\n"
    "  --keepalive S         MQTT keep-alive (default 30): the broker marks the site\n"
    "                        offline 1.5 x S after the agent went silent\n"
    "  --deadband F=V[,F=V]  publish a tank when field F moved by more than V since it was\n"
    "                        last published (defaults: level=1,volume=10,tc_volume=10,\n"
    "                        ullage=10,water=1,water_volume=5,temperature=0.2,density=0.5,\n"
    "                        tc_density=0.5,mass=10; 0 = any change)\n"
    "  --insecure            allow a password over plain mqtt:// to a broker that is not on\n"
    "                        this machine\n"
    "  --metrics ADDR:PORT   serve Prometheus metrics at http://ADDR:PORT/metrics (ADDR\n"
    "                        default 127.0.0.1)\n"
    "  --ha-discovery[=PREFIX]  publish Home Assistant discovery under PREFIX (default\n"
    "                        homeassistant)\n"
    "  --queue N             messages kept while the broker is away (default 10000)\n"
    "  --reports S           ask for the console's labels and deliveries every S seconds\n"
    "                        (default 300; its alarms are asked every period); the\n"
    "                        forecasts are published as often\n"
    "  --config FILE         the tanks' thresholds: an INI file with [defaults], [tank N]\n"
    "                        and [GAUGE tank N] sections (see the man page)\n"
    "  --data DIR            the station's history (default /var/lib/vrsilo)\n"
    "  --history-days N      days of history kept (default 60)\n"
    "  --replay FILE         run the event engine over a recorded CSV and print the events\n"
    "                        (no broker, no gauge)\n"
    "  --help                this text\n"
    "Topics: vrsilo/SITE/GAUGE/tank/N (retained JSON), vrsilo/SITE/agent (retained), "
    ".../tank/N/console_alarms (retained),\n"
    ".../tank/N/console_deliveries (each delivery once, not retained), .../tank/N/alarms,\n"
    ".../tank/N/delivery and .../tank/N/forecast (retained), .../tank/N/events (not retained),\n"
    "vrsilo/SITE/GAUGE/console_alarms (retained: sensors and the console), vrsilo/SITE/status\n"
    "(online/offline).\n"
    "Exit status: 0 after SIGTERM or SIGINT, 1 when the broker client cannot start, 2 on a\n"
    "usage error.";

namespace {

using vr::tools::OptionNumber;

enum LongOption {
  kGauge = vr::tools::kLongOption,
  kTanks,
  kPeriod,
  kBroker,
  kCaFile,
  kUser,
  kPasswordFile,
  kSite,
  kHeartbeat,
  kKeepAlive,
  kQueue,
  kReports,
  kConfig,
  kData,
  kHistoryDays,
  kReplay,
  kDeadband,
  kInsecure,
  kMetrics,
  kHaDiscovery,
};

const option kLongOptions[] = {
    {"gauge", required_argument, nullptr, kGauge},
    {"tanks", required_argument, nullptr, kTanks},
    {"period", required_argument, nullptr, kPeriod},
    {"broker", required_argument, nullptr, kBroker},
    {"ca-file", required_argument, nullptr, kCaFile},
    {"user", required_argument, nullptr, kUser},
    {"password-file", required_argument, nullptr, kPasswordFile},
    {"site", required_argument, nullptr, kSite},
    {"heartbeat", required_argument, nullptr, kHeartbeat},
    {"keepalive", required_argument, nullptr, kKeepAlive},
    {"queue", required_argument, nullptr, kQueue},
    {"reports", required_argument, nullptr, kReports},
    {"config", required_argument, nullptr, kConfig},
    {"data", required_argument, nullptr, kData},
    {"history-days", required_argument, nullptr, kHistoryDays},
    {"replay", required_argument, nullptr, kReplay},
    {"deadband", required_argument, nullptr, kDeadband},
    {"insecure", no_argument, nullptr, kInsecure},
    {"metrics", required_argument, nullptr, kMetrics},
    {"ha-discovery", optional_argument, nullptr, kHaDiscovery},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// A topic level: not empty, no separator or wildcard.
std::string TopicLevel(const char* option, const std::string& text) {
  if (text.empty() || text.find_first_of("/+#") != std::string::npos)
    throw std::invalid_argument(std::string(option) + ": '" + text +
                                "' must be non-empty without '/', '+' or '#'");
  return text;
}

GaugeOption ParseGauge(const std::string& text) {
  GaugeOption g;
  const size_t eq = text.find('=');
  const size_t scheme = text.find("://");
  if (eq != std::string::npos && (scheme == std::string::npos || eq < scheme)) {
    g.name = TopicLevel("--gauge NAME", text.substr(0, eq));
    g.address = text.substr(eq + 1);
  } else {
    g.address = text;
  }
  if (g.address.empty()) throw std::invalid_argument("--gauge: no address in '" + text + "'");
  if (g.name.empty()) {
    // COMn as it is, a device by its file name, a network address as HOST:PORT.
    std::string name = g.address;
    if (scheme != std::string::npos && (eq == std::string::npos || eq > scheme))
      name = name.substr(name.find("://") + 3);
    else if (name.find('/') != std::string::npos)
      name = name.substr(name.rfind('/') + 1);
    g.name = TopicLevel("--gauge", name);
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

// 127.0.0.0/8, ::1 or localhost: the password does not leave the machine.
bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

}  // namespace

void ParseDeadbands(const std::string& text, std::array<double, kTankFieldCount>& deadbands) {
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    const size_t eq = item.find('=');
    size_t k = 0;
    while (k < kTankFieldCount &&
           (eq == std::string::npos || item.compare(0, eq, kTankFields[k].name) != 0 ||
            eq != std::string(kTankFields[k].name).size()))
      ++k;
    if (k == kTankFieldCount)
      throw std::invalid_argument("--deadband: '" + item + "' is not FIELD=VALUE of a tank field");
    const std::string value = item.substr(eq + 1);
    char* end = nullptr;
    const double v = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !(v >= 0 && v <= 1e6))
      throw std::invalid_argument("--deadband: '" + item + "' needs a number from 0 to 1000000");
    deadbands[k] = v;
    at = comma + 1;
  }
}

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
      case kGauge:
        o.gauges.push_back(ParseGauge(optarg));
        break;
      case kTanks:
        vr::tools::ParseTanks(optarg, o.firstTank, o.lastTank, 99);
        o.tanksGiven = true;
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
      case kKeepAlive:
        o.keepAliveSeconds = static_cast<int>(OptionNumber("--keepalive", optarg, 5, 3600));
        break;
      case kReports:
        o.reportsSeconds = static_cast<int>(OptionNumber("--reports", optarg, 1, 86400));
        break;
      case kConfig:
        o.configFile = optarg;
        break;
      case kData:
        o.dataDir = optarg;
        break;
      case kHistoryDays:
        o.historyDays = static_cast<int>(OptionNumber("--history-days", optarg, 1, 3650));
        break;
      case kDeadband:
        ParseDeadbands(optarg, o.deadbands);
        break;
      case kInsecure:
        o.insecure = true;
        break;
      case kMetrics:
        o.metrics = optarg;
        break;
      case kHaDiscovery:
        o.haPrefix = optarg ? TopicLevel("--ha-discovery", optarg) : "homeassistant";
        break;
      case kReplay:
        o.replayFile = optarg;
        break;
      case kQueue:
        o.queueLimit = static_cast<int>(OptionNumber("--queue", optarg, 1, 1000000));
        break;
    }
    return true;
  });
  if (!run || !o.replayFile.empty()) return o;
  if (o.broker.host.empty()) o.broker = ParseBrokerUrl("mqtt://127.0.0.1");
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
  if (!o.password.empty() && !o.broker.tls && !o.insecure && !IsLoopback(o.broker.host))
    throw std::invalid_argument("refusing to send the password in clear over mqtt:// to " +
                                o.broker.host + ": use mqtts:// or --insecure");
  if (o.site.empty()) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    o.site = TopicLevel("the host name (give --site)", host);
  }
  return o;
}

}  // namespace vr::agent
