#pragma once
// Home Assistant's device-based MQTT discovery: one retained config message
// per tank (PREFIX/device/vrsilo_SITE_GAUGE_N/config) with sensors for its
// volume, level, water, temperature and ullage and a binary sensor for each
// alarm the station works out; available while vrsilo/SITE/status is online.
#include <string>

namespace vr::agent {

// The discovery topic and payload of one tank; `tank_topic` is
// vrsilo/SITE/GAUGE/tank/N, `status_topic` vrsilo/SITE/status.
void FormatDiscovery(const std::string& prefix, const std::string& site, const std::string& gauge,
                     int tank, const std::string& tank_topic, const std::string& status_topic,
                     std::string& topic, std::string& payload);

}  // namespace vr::agent
