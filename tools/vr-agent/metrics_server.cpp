#include "metrics_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "wall_clock.h"

namespace vr::agent {
namespace {

MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t*, void**) {
  const auto* state = static_cast<const StationState*>(cls);
  const bool found = std::strcmp(url, "/metrics") == 0;
  if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) return MHD_NO;
  std::string body;
  if (found) {
    state->RenderMetrics(body, tools::UtcNowMs());
  } else {
    body = "Not found: the metrics are at /metrics\n";
  }
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          found ? "text/plain; version=0.0.4; charset=utf-8" : "text/plain");
  const MHD_Result rc =
      MHD_queue_response(connection, found ? MHD_HTTP_OK : MHD_HTTP_NOT_FOUND, response);
  MHD_destroy_response(response);
  return rc;
}

}  // namespace

void ParseListenAddress(const std::string& text, std::string& host, int& port) {
  const size_t colon = text.rfind(':');
  const std::invalid_argument bad("--metrics: '" + text + "' is not ADDR:PORT");
  if (colon == std::string::npos) throw bad;
  host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host.empty()) host = "127.0.0.1";
  const std::string digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    throw bad;
  port = std::stoi(digits);
  if (port > 65535) throw bad;
  in6_addr v6{};
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) != 1 && inet_pton(AF_INET6, host.c_str(), &v6) != 1)
    throw std::invalid_argument("--metrics: '" + host + "' is not an IPv4 or IPv6 address");
}

std::string MetricsServer::Start(const std::string& host, int port) {
  sockaddr_storage address{};
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
  } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    flags |= MHD_USE_IPv6;
  } else {
    return "--metrics: '" + host + "' is not an address";
  }
  daemon_ = MHD_start_daemon(flags, static_cast<uint16_t>(port), nullptr, nullptr, &Answer,
                             const_cast<StationState*>(&state_), MHD_OPTION_SOCK_ADDR, &address,
                             MHD_OPTION_CONNECTION_LIMIT, 16u, MHD_OPTION_CONNECTION_TIMEOUT, 10u,
                             MHD_OPTION_END);
  if (!daemon_) return "--metrics: cannot listen on " + host + ":" + std::to_string(port);
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? info->port : port;
  return {};
}

void MetricsServer::Stop() {
  if (daemon_) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

MetricsServer::~MetricsServer() {
  Stop();
}

}  // namespace vr::agent
