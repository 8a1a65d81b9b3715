// Telnet framing and option negotiation as the RFC 2217 link uses them.
#include "protocol/telnet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vr::telnet {
namespace {

struct Recorder : Handler {
  std::vector<std::pair<int, int>> negotiations;
  std::vector<std::vector<uint8_t>> subs;
  void OnNegotiation(uint8_t verb, uint8_t option) override {
    negotiations.emplace_back(verb, option);
  }
  void OnSubnegotiation(const uint8_t* body, size_t n) override {
    subs.emplace_back(body, body + n);
  }
};

TEST(Telnet, DecoderSplitsDataFromCommandsInAnyPieces) {
  const std::vector<uint8_t> stream = {
      'a',  kIac, kIac, 'b',  kIac, kDo,  44,  kIac, 241 /*NOP*/, 'c', kIac, kSb,  44,    101, 0x00,
      0x00, 0x25, 0x80, kIac, kIac, kIac, kSe, kIac, kSb,         44,  1,    kIac, kWill, 3,   'd'};
  for (size_t piece = 1; piece <= stream.size(); ++piece) {
    Decoder decoder;
    Recorder r;
    std::vector<uint8_t> data;
    for (size_t at = 0; at < stream.size(); at += piece) {
      std::vector<uint8_t> in(stream.begin() + at,
                              stream.begin() + std::min(stream.size(), at + piece));
      in.resize(decoder.Feed(in.data(), in.size(), in.data(), r));  // in place
      data.insert(data.end(), in.begin(), in.end());
    }
    SCOPED_TRACE(piece);
    EXPECT_EQ(data, (std::vector<uint8_t>{'a', kIac, 'b', 'c', 'd'}));
    // The cut-off subnegotiation is dropped; the WILL inside it still counts.
    EXPECT_EQ(r.negotiations, (std::vector<std::pair<int, int>>{{kDo, 44}, {kWill, 3}}));
    ASSERT_EQ(r.subs.size(), 1u);
    EXPECT_EQ(r.subs[0], (std::vector<uint8_t>{44, 101, 0, 0, 0x25, 0x80, kIac}));
  }
}

TEST(Telnet, EscapedCommandValue) {
  const uint8_t value[] = {0x00, 0xFF, 0x25, 0x80};
  uint8_t out[ComPortCommandSize(4)];
  const size_t n = ComPortCommand(1, value, 4, out);
  EXPECT_EQ(std::vector<uint8_t>(out, out + n),
            (std::vector<uint8_t>{kIac, kSb, 44, 1, 0x00, kIac, kIac, 0x25, 0x80, kIac, kSe}));
}

TEST(Telnet, NegotiationAnswersOnceAndRefusesTheUnsupported) {
  Options o({kOptionComPort}, {kOptionBinary});
  EXPECT_TRUE(o.RequestLocal(kOptionComPort));
  EXPECT_FALSE(o.RequestLocal(kOptionComPort)) << "asked already";
  EXPECT_EQ(o.Receive(kDo, kOptionComPort), 0) << "the answer to our WILL needs none";
  EXPECT_TRUE(o.LocalEnabled(kOptionComPort));
  EXPECT_EQ(o.Receive(kDo, kOptionComPort), 0) << "no loop";
  EXPECT_EQ(o.Receive(kDo, 1 /*ECHO*/), kWont);
  EXPECT_EQ(o.Receive(kWill, 1), kDont);
  EXPECT_EQ(o.Receive(kWill, kOptionBinary), kDo);
  EXPECT_EQ(o.Receive(kWont, kOptionBinary), kDont);
  EXPECT_EQ(o.Receive(kWont, kOptionBinary), 0);
  EXPECT_EQ(o.Receive(kDont, kOptionComPort), kWont);
  EXPECT_FALSE(o.LocalEnabled(kOptionComPort));
  // A refusal of our request ends it without an answer.
  EXPECT_TRUE(o.RequestLocal(kOptionComPort));
  EXPECT_EQ(o.Receive(kDont, kOptionComPort), 0);
  EXPECT_FALSE(o.LocalPending(kOptionComPort));
}

}  // namespace
}  // namespace vr::telnet
