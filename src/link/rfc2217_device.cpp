// The RFC 2217 kind of network device: Telnet with the COM-PORT-OPTION. On
// each connection it offers WILL COM-PORT-OPTION and holds data back until
// the access server answers (0.5 s at most); once the server agrees, the line
// settings go out (SET-BAUDRATE, SET-DATASIZE, SET-PARITY, SET-STOPSIZE,
// SET-CONTROL), then on every change the settings that changed, and purges as
// PURGE-DATA. IAC in the data is doubled both ways; BINARY and
// SUPPRESS-GO-AHEAD are accepted, other options refused; the server's
// answers and notifications are read and dropped.
#include "link/net_device.h"
#include "protocol/telnet.h"

namespace vr {
namespace {

namespace comport = telnet::comport;

constexpr auto kNegotiationLimit = std::chrono::milliseconds(500);

// The RFC 2217 values of the Win32 line settings.
struct LineSettings {
  uint32_t baud = 0;
  uint8_t dataSize = 0;
  uint8_t parity = 0;
  uint8_t stopSize = 0;
  uint8_t control = 0;
};

LineSettings ToLineSettings(const Dcb& d) {
  static constexpr uint8_t kParity[] = {comport::kParityNone, comport::kParityOdd,
                                        comport::kParityEven, comport::kParityMark,
                                        comport::kParitySpace};
  LineSettings s;
  s.baud = d.BaudRate;
  s.dataSize = d.ByteSize;
  s.parity = d.Parity < 5 ? kParity[d.Parity] : comport::kParityNone;
  s.stopSize = d.StopBits == kTwoStopBits    ? comport::kStopTwo
               : d.StopBits == kOne5StopBits ? comport::kStopOneAndHalf
                                             : comport::kStopOne;
  const bool rtsHandshake = ((d.Flags & dcb::kRtsControlMask) >> dcb::kRtsControlShift) == 2;
  if ((d.Flags & dcb::kOutxCtsFlow) != 0 || rtsHandshake) {
    s.control = comport::kFlowHardware;
  } else if ((d.Flags & (dcb::kOutX | dcb::kInX)) != 0) {
    s.control = comport::kFlowXonXoff;
  } else {
    s.control = comport::kFlowNone;
  }
  return s;
}

class Rfc2217Device final : public NetDevice, private telnet::Handler {
 public:
  Rfc2217Device(uint16_t port, const NetAddress& address) : NetDevice(port, address) {}
  ~Rfc2217Device() override { Stop(); }

 private:
  void OnConnected() override {
    decoder_.Reset();
    options_.Reset();
    comport_on_ = false;
    sent_valid_ = false;
    pending_purge_ = 0;
    if (options_.RequestLocal(telnet::kOptionComPort)) {
      QueueNegotiation(telnet::kWill, telnet::kOptionComPort);
      HoldDataLocked(kNegotiationLimit);
    }
  }

  size_t Decode(uint8_t* bytes, size_t n) override { return decoder_.Feed(bytes, n, bytes, *this); }

  bool Doubled(uint8_t b) const override { return b == telnet::kIac; }

  void OnStateChanged() override {
    if (comport_on_) QueueLineSettings();
  }

  void OnPurge(bool rx, bool tx) override {
    // The values combine bitwise: receive 1 | transmit 2 = both 3.
    const uint8_t what = static_cast<uint8_t>((rx ? comport::kPurgeReceive : 0) |
                                              (tx ? comport::kPurgeTransmit : 0));
    if (comport_on_) {
      QueueComPort(comport::kPurgeData, &what, 1);
    } else if (options_.LocalPending(telnet::kOptionComPort)) {
      pending_purge_ |= what;  // goes out once the server agrees
    }
  }

  void OnNegotiation(uint8_t verb, uint8_t option) override {
    const uint8_t answer = options_.Receive(verb, option);
    if (answer != 0) QueueNegotiation(answer, option);
    const bool on = options_.LocalEnabled(telnet::kOptionComPort);
    if (on && !comport_on_) {
      comport_on_ = true;
      QueueLineSettings();
      if (pending_purge_ != 0) QueueComPort(comport::kPurgeData, &pending_purge_, 1);
    }
    comport_on_ = on;
    if (!options_.LocalPending(telnet::kOptionComPort)) {
      pending_purge_ = 0;
      ReleaseDataLocked();
    }
  }

  void OnSubnegotiation(const uint8_t*, size_t) override {}

  void QueueNegotiation(uint8_t verb, uint8_t option) {
    const uint8_t bytes[3] = {telnet::kIac, verb, option};
    QueueLocked(bytes, sizeof bytes);
  }

  void QueueComPort(uint8_t code, const uint8_t* value, size_t n) {
    uint8_t bytes[telnet::ComPortCommandSize(4)];
    QueueLocked(bytes, telnet::ComPortCommand(code, value, n, bytes));
  }

  // The settings that differ from those sent on this connection.
  void QueueLineSettings() {
    const LineSettings now = ToLineSettings(StateLocked());
    const bool all = !sent_valid_;
    if (all || now.baud != sent_.baud) {
      const uint8_t baud[4] = {static_cast<uint8_t>(now.baud >> 24),
                               static_cast<uint8_t>(now.baud >> 16),
                               static_cast<uint8_t>(now.baud >> 8), static_cast<uint8_t>(now.baud)};
      QueueComPort(comport::kSetBaudRate, baud, 4);
    }
    if (all || now.dataSize != sent_.dataSize) {
      QueueComPort(comport::kSetDataSize, &now.dataSize, 1);
    }
    if (all || now.parity != sent_.parity) QueueComPort(comport::kSetParity, &now.parity, 1);
    if (all || now.stopSize != sent_.stopSize) {
      QueueComPort(comport::kSetStopSize, &now.stopSize, 1);
    }
    if (all || now.control != sent_.control) {
      QueueComPort(comport::kSetControl, &now.control, 1);
    }
    sent_ = now;
    sent_valid_ = true;
  }

  telnet::Decoder decoder_;
  telnet::Options options_{
      {telnet::kOptionBinary, telnet::kOptionSuppressGoAhead, telnet::kOptionComPort},
      {telnet::kOptionBinary, telnet::kOptionSuppressGoAhead, telnet::kOptionComPort}};
  bool comport_on_ = false;
  uint8_t pending_purge_ = 0;  // PURGE-DATA asked for while the option was being negotiated
  bool sent_valid_ = false;
  LineSettings sent_;
};

}  // namespace

std::unique_ptr<NetDevice> MakeRfc2217Device(uint16_t port, const NetAddress& address) {
  return std::make_unique<Rfc2217Device>(port, address);
}

}  // namespace vr
