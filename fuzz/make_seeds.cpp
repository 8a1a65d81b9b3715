// Writes the seed corpora of the fuzz targets into the given directory, one
// folder per target: real reply frames of the gauge simulator (healthy and
// with its faults), hex floats and 80-bit values of real tank values, settings
// files as hosts keep them, and calibration tables as text.
//
//   make_seeds <directory>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gauge_sim.h"
#include "protocol/extended.h"
#include "protocol/hex_float.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::string_literals;

std::string g_dir;
int g_written = 0;

void Write(const std::string& target, const std::string& name, const Bytes& data) {
  const std::string dir = g_dir + "/" + target;
  ::mkdir(dir.c_str(), 0777);
  const std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  ++g_written;
}

// The two stream targets read the same input.
void WriteStream(const std::string& name, const Bytes& data) {
  Write("reply_stream", name, data);
  Write("port_stream", name, data);
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// Reply-stream input: flags, tank, then the stream in passes of `pass` bytes;
// `take` marks the end of each frame (take the frame, restart the framer).
Bytes Stream(uint8_t flags, uint8_t tank, const std::vector<Bytes>& frames, size_t pass,
             bool take) {
  Bytes in = {flags, tank};
  for (const Bytes& f : frames) {
    for (size_t at = 0; at < f.size(); at += pass) {
      const size_t n = std::min(pass, f.size() - at);
      const bool last = at + n == f.size();
      in.push_back(static_cast<uint8_t>(n | (take && last ? 0x80 : 0)));
      in.insert(in.end(), f.begin() + static_cast<long>(at), f.begin() + static_cast<long>(at + n));
    }
  }
  return in;
}

void ReplySeeds() {
  vr::sim::GaugeSim sim;
  sim.SetTanks(vr::sim::DemoTanks());
  sim.SetHeaderTime("2612071200");
  const std::string eight(8, '0');
  const Bytes i214 = sim.Execute("i21401", ""), i201 = sim.Execute("i20102", "");
  const Bytes i607 = sim.Execute("i60703", ""), i606 = sim.Execute("i60603", "");
  const Bytes s607 = sim.Execute("s60704", "451C4000");
  Bytes payload;
  for (size_t k = 0; k < 20; ++k) {
    char hex[8];
    vr::SingleToHex(100.0f * static_cast<float>(k + 1), hex);
    payload.insert(payload.end(), hex, hex + 8);
  }
  const Bytes s606 = sim.Execute("s60604", std::string(payload.begin(), payload.end()));
  const Bytes error(vr::sim::kErrorReply.begin(), vr::sim::kErrorReply.end());

  // Operation numbers of the target: 0 level .. 4 volume, 5/6 table read, 7 write.
  WriteStream("i214_level", Stream(0 << 1, 0, {i214}, 127, false));
  WriteStream("i214_density_bytewise", Stream(3 << 1, 0, {i214}, 1, false));
  WriteStream("i201_volume", Stream(4 << 1, 1, {i201}, 40, false));
  WriteStream("i201_water_two_passes", Stream(2 << 1, 1, {i201}, 45, false));
  WriteStream("i214_temperatures", Stream(1 << 1, 0, {i214}, 9, false));
  WriteStream("table_read", Stream(5 << 1, 2, {i607, i606}, 127, true));
  WriteStream("table_read_small_passes", Stream(6 << 1, 2, {i607, i606}, 13, true));
  WriteStream("table_write", Stream(7 << 1, 3, {s607, s606}, 100, true));
  WriteStream("error_reply", Stream(0, 0, {error, i214}, 127, false));
  WriteStream("two_frames_one_stream", Stream(0, 0, {i214, i201}, 127, false));
  const Bytes all214 = sim.Execute("i21400", ""), all201 = sim.Execute("i20100", "");
  Write("reply_stream", "every_tank_i214", Stream(0x10, 0, {all214}, 127, false));
  Write("reply_stream", "every_tank_i201_repaired", Stream(0x11, 0, {all201}, 100, true));

  // The simulator's faults applied to real replies.
  struct Fault {
    const char* name;
    const char* fault;
  } faults[] = {{"bad_checksum", "bad-checksum"},
                {"lower_checksum", "lower-checksum"},
                {"cut", "cut"},
                {"garbage", "garbage"}};
  for (const Fault& f : faults) {
    vr::sim::GaugeSim faulty;
    faulty.SetTanks(vr::sim::DemoTanks());
    faulty.SetHeaderTime("2612071200");
    faulty.SetFault(f.fault);
    Bytes stream;
    for (const vr::sim::Answer& a : faulty.Feed(std::string("\x01i21401\x01i60601", 14)))
      stream.insert(stream.end(), a.bytes.begin(), a.bytes.end());
    WriteStream(std::string("fault_") + f.name, Stream(1, 0, {stream}, 50, false));
    WriteStream(std::string("fault_") + f.name + "_unrepaired", Stream(0, 0, {stream}, 127, false));
  }
}

void NumberSeeds() {
  const float values[] = {0.0f, 1.0f, -1.0f, 2500.0f, 745.2f, 1234.5f, 15.5f, 1e-40f, 3.4e38f};
  int n = 0;
  for (float v : values) {
    char hex[8];
    vr::SingleToHex(v, hex);
    Bytes in = {0, 0};  // offset 0 in both buffers
    in.insert(in.end(), hex, hex + 8);
    uint8_t ext[10];
    vr::DoubleToExtended(static_cast<double>(v) * 10.0, ext);
    in.insert(in.end(), ext, ext + 10);
    Write("numbers", "value_" + std::to_string(n++), in);
  }
  Write("numbers", "lower_case", Text("\x00\x00"s + "451c4000"));
  Write("numbers", "not_hex", Text("\x00\x00"s + "4G1C4000"));
}

void IniSeeds() {
  const std::string files[] = {
      "[VeederRoot]\r\nConnectionType=4\r\nCriticalUpdateTime=30\r\n",
      "; host\r\n[Main]\r\nStation=12\r\n\r\n[VeederRoot]\r\nConnectionType=3\r\n"
      "CriticalUpdateTime=45\r\n[Ports]\r\nCOM1=/dev/ttyUSB0\r\n",
      "\xEF\xBB\xBF[VeederRoot]\nConnectionType=260\n",
      "[SiloItem0]\r\nCount=3\r\nItem0=10.0=0.100\r\nItem1=20.0=0.250\r\nItem2=30.0=0.450\r\n",
      "[SiloItem7]\r\nCount=2\r\nEscaped=1\r\nItem0=a\\nb\r\nItem1=\" x \"\r\n",
      "[veederroot]\r\n connectiontype = \"5\" \r\n[VeederRoot]\r\nConnectionType=7",
      "",
  };
  int n = 0;
  for (const std::string& f : files) {
    for (uint8_t what = 1; what <= 3; ++what) {
      Bytes in = {what, 6, 0, 0, 0};
      in.insert(in.end(), f.begin(), f.end());
      Write("ini", "file_" + std::to_string(n) + "_" + std::to_string(what), in);
    }
    ++n;
  }
}

void TableSeeds() {
  Write("table_text", "file_units", Text("\x00"s + "5.00=50.00\n10.00=120.50\n15,00=210,75\n"));
  Write("table_text", "settings_units", Text("\x01"s + "50.0=0.050\n100.0=0.121\n150.0=0.211\n"));
  Write("table_text", "odd_lines", Text("\x02"s + " 1=2\n1 =2\n1= 2 \n=\n1e3=-.5\n+.5=5.\nx=1\n"));
  std::string cyl = "\x00"s;
  const auto table = vr::sim::CylinderTable(30000.0f);
  for (size_t k = 0; k < table.size(); ++k)
    cyl += std::to_string((k + 1) * 12.5) + "=" + std::to_string(table[k]) + "\n";
  Write("table_text", "cylinder", Text(cyl));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <directory>\n");
    return 2;
  }
  g_dir = argv[1];
  ::mkdir(g_dir.c_str(), 0777);
  ReplySeeds();
  NumberSeeds();
  IniSeeds();
  TableSeeds();
  std::printf("%d seeds in %s\n", g_written, g_dir.c_str());
  return 0;
}
