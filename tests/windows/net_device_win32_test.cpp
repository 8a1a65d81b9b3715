// The network links on Winsock, against a loopback peer played by the test:
// raw TCP, and RFC 2217 with negotiation and IAC both ways, a connection that drops and is made
// again at the next request, and a server that is down when the port opens.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/ini_file.h"
#include "config/settings.h"
#include "link/urovn.h"
#include "protocol/telnet.h"
#include "win_test_support.h"

namespace vr::wintest {
namespace {

constexpr uint16_t kNetPort = 7;

class Win32NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int n = sizeof a;
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&a), n), 0);
    ASSERT_EQ(listen(listener_, 4), 0);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    MapCom7("rfc2217");
  }
  void MapCom7(const std::string& scheme) {
    WriteFileAtomically(SettingsFilePath(), "[Ports]\r\nCOM7=" + scheme +
                                                "://127.0.0.1:" + std::to_string(port_) + "\r\n");
  }
  void TearDown() override {
    if (peer_ != INVALID_SOCKET) closesocket(peer_);
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    DeleteFileA(SettingsFilePath().c_str());
    WSACleanup();
  }

  // The next client, within 3 s.
  bool Accept() {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener_, &ready);
    timeval limit{3, 0};
    if (select(0, &ready, nullptr, nullptr, &limit) != 1) return false;
    peer_ = accept(listener_, nullptr, nullptr);
    const DWORD ms = 3000;
    setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    got_.clear();
    return peer_ != INVALID_SOCKET;
  }
  // Reads until `wanted` is among the bytes received on this connection.
  bool Receive(const std::vector<uint8_t>& wanted) {
    auto found = [&] {
      return std::search(got_.begin(), got_.end(), wanted.begin(), wanted.end());
    };
    char buf[256];
    for (int n; found() == got_.end() && (n = recv(peer_, buf, sizeof buf, 0)) > 0;)
      got_.insert(got_.end(), buf, buf + n);
    return found() != got_.end();
  }
  void Send(const std::vector<uint8_t>& bytes) {
    send(peer_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
  }

  uint16_t port_ = 0;
  SOCKET listener_ = INVALID_SOCKET;
  SOCKET peer_ = INVALID_SOCKET;
  std::vector<uint8_t> got_;
};

TEST_F(Win32NetTest, Rfc2217LinkDropsAndComesBack) {
  using namespace telnet;
  const int threads = ThreadCount();
  const int handles = HandleCount();
  {
    TUrovn link(kNetPort);
    ASSERT_TRUE(Accept());
    EXPECT_TRUE(Receive({kIac, kWill, kOptionComPort}));
    Send({kIac, kDo, kOptionComPort});
    EXPECT_TRUE(Receive({kIac, kSb, kOptionComPort, comport::kSetBaudRate, 0, 0, 0x25, 0x80}));

    const uint8_t request[] = {0x01, 'i', '2', '1', '4', '0', '1', 0xFF};
    ASSERT_EQ(link.SendRequest(request, sizeof request), ExchangeOutcome::kOk);
    EXPECT_TRUE(Receive({'1', kIac, kIac}));
    Send({0x01, 'i', '2', '1', '4', '0', '1', kIac, kIac, '&', '&', '0', '0', '0', '0', 0x03});
    uint8_t reply[255];
    const ExchangeReply r = link.AwaitReply(reply, sizeof reply);
    ASSERT_EQ(r.outcome, ExchangeOutcome::kOk);
    ASSERT_EQ(r.length, 15u);
    EXPECT_EQ(reply[7], 0xFF);

    // The peer goes; the next request, a second after the first connection, makes a new one.
    closesocket(peer_);
    peer_ = INVALID_SOCKET;
    Sleep(1100);
    ASSERT_EQ(link.SendRequest(request, sizeof request), ExchangeOutcome::kOk);
    ASSERT_TRUE(Accept()) << "connected again";
    EXPECT_TRUE(Receive({kIac, kWill, kOptionComPort}));
  }
  EXPECT_TRUE(Eventually([&] { return ThreadCount() <= threads; }, 1000));
  closesocket(peer_);
  peer_ = INVALID_SOCKET;
  EXPECT_TRUE(Eventually([&] { return HandleCount() <= handles; }, 1000));

  // Down: the port fails to open, at once.
  closesocket(listener_);
  listener_ = INVALID_SOCKET;
  const auto start = Clock::now();
  EXPECT_THROW(TUrovn down(kNetPort), EOpenPortFail);
  EXPECT_LT(ElapsedMs(start), 1000);
}

// Raw TCP: the bytes as they are, 0xFF included, and no Telnet at all.
TEST_F(Win32NetTest, RawTcpLinkCarriesTheBytesAsTheyAre) {
  MapCom7("tcp");
  TUrovn link(kNetPort);
  ASSERT_TRUE(Accept());
  const uint8_t request[] = {0x01, 'i', '2', '1', '4', '0', '1', 0xFF};
  ASSERT_EQ(link.SendRequest(request, sizeof request), ExchangeOutcome::kOk);
  EXPECT_TRUE(Receive({0x01, 'i', '2', '1', '4', '0', '1', 0xFF}));
  EXPECT_EQ(got_.size(), sizeof request) << "nothing but the request";
  Send({0x01, 'i', '2', '1', '4', '0', '1', 0xFF, '&', '&', '0', '0', '0', '0', 0x03});
  uint8_t reply[255];
  const ExchangeReply r = link.AwaitReply(reply, sizeof reply);
  ASSERT_EQ(r.outcome, ExchangeOutcome::kOk);
  ASSERT_EQ(r.length, 15u);
  EXPECT_EQ(reply[7], 0xFF);
}

}  // namespace
}  // namespace vr::wintest
