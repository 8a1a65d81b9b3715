#include "ha_discovery.h"

#include "engine.h"

#ifndef VRSILO_VERSION
#define VRSILO_VERSION "unknown"
#endif

namespace vr::agent {
namespace {

// Discovery ids allow [a-zA-Z0-9_-] only.
std::string Id(const std::string& text) {
  std::string id = text;
  for (char& c : id)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'))
      c = '_';
  return id;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

}  // namespace

void FormatDiscovery(const std::string& prefix, const std::string& site, const std::string& gauge,
                     int tank, const std::string& tank_topic, const std::string& status_topic,
                     std::string& topic, std::string& payload) {
  const std::string device = "vrsilo_" + Id(site) + "_" + Id(gauge) + "_" + std::to_string(tank);
  topic = prefix + "/device/" + device + "/config";
  struct Sensor {
    const char* key;
    const char* name;
    const char* device_class;
    const char* unit;
  };
  static constexpr Sensor kSensors[] = {
      {"volume", "Volume", "volume_storage", "L"},
      {"level", "Level", "distance", "mm"},
      {"water", "Water", "distance", "mm"},
      {"temperature", "Temperature", "temperature", "°C"},
      {"ullage", "Ullage", "volume_storage", "L"},
  };
  payload =
      "{\"dev\":{\"ids\":" + Quoted(device) +
      ",\"name\":" + Quoted(site + " " + gauge + " tank " + std::to_string(tank)) +
      ",\"mf\":\"Veeder-Root\",\"mdl\":\"automatic tank gauge\"},\"o\":{\"name\":\"vr-agent\","
      "\"sw\":\"" VRSILO_VERSION "\"},\"avty_t\":" +
      Quoted(status_topic) +
      ",\"pl_avail\":\"online\",\"pl_not_avail\":\"offline\",\"qos\":1,"
      "\"cmps\":{";
  bool first = true;
  for (const Sensor& s : kSensors) {
    if (!first) payload += ',';
    first = false;
    payload += Quoted(s.key) + ":{\"p\":\"sensor\",\"name\":" + Quoted(s.name) +
               ",\"device_class\":" + Quoted(s.device_class) +
               ",\"state_class\":\"measurement\",\"unit_of_measurement\":" + Quoted(s.unit) +
               ",\"state_topic\":" + Quoted(tank_topic) +
               ",\"value_template\":" + Quoted(std::string("{{ value_json.") + s.key + " }}") +
               ",\"unique_id\":" + Quoted(device + "_" + s.key) + "}";
  }
  for (size_t k = 0; k < kAlarmKinds; ++k) {
    const std::string name = AlarmName(static_cast<AlarmKind>(k));
    payload += "," + Quoted(name) + ":{\"p\":\"binary_sensor\",\"name\":" + Quoted(name) +
               ",\"device_class\":\"problem\",\"state_topic\":" + Quoted(tank_topic + "/alarms") +
               ",\"value_template\":" + Quoted("{{ 'ON' if value_json." + name + " else 'OFF' }}") +
               ",\"unique_id\":" + Quoted(device + "_" + name) + "}";
  }
  payload += "}}";
}

}  // namespace vr::agent
