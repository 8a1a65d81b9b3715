// vr-host: a reference host for the driver library. It loads the library with
// dlopen, takes a driver object from GetSiloEx2 (settings from WINDIR) or
// GetSiloEx3, and uses it through the slot table only. --probe alone goes
// through the library's link code (probe.cpp).
#include "vr_host.h"

#include <getopt.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "driver_library.h"
#include "probe.h"
#include "protocol/extended.h"
#include "vrsilo.h"

namespace {

void Usage() {
  std::puts(
      "usage: vr-host [options]\n"
      "  --lib PATH                 driver library (default: the built libvrsilo.so, else the\n"
      "                             installed libvrsilo.so.3)\n"
      "  --port N                   GetSiloEx3 with serial port COM<N> (1..6)\n"
      "  --block N                  GetSiloEx3 with communication block No. N (1..3)\n"
      "                             (without either: GetSiloEx2, settings from $WINDIR/cnf.INI)\n"
      "  --tanks A-B                tanks to show, 1..16 (default 1-16)\n"
      "  --watch                    repeat the table every second until interrupted\n"
      "  --count K                  with --watch: stop after K tables\n"
      "  --calibration N            print tank N's height and 20 calibration points (1..99)\n"
      "  --write-calibration N FILE write tank N's table from FILE (the format --calibration\n"
      "                             prints: 'height H' then 20 volumes, '#' starts a comment)\n"
      "  --gui                      a window: the tank table refreshed every second and the\n"
      "                             driver's settings item in the \"Настройка\" menu\n"
      "  --screenshots DIR          with --gui: open the driver's windows one after the other,\n"
      "                             save pictures of them into DIR and quit\n"
      "  --probe                    look for the gauge: COM1..COM6 as the settings file maps\n"
      "                             them, one after the other, with one request each (a silent\n"
      "                             port costs one 1.5 s wait); prints one verdict per port\n"
      "                             (absent, opens but silent, gauge found with its tanks)\n"
      "  --probe-address ADDR       with --probe (implied): also probe ADDR, any value\n"
      "                             [Ports] accepts (e.g. a device path); repeatable, mapped to\n"
      "                             COM7, COM8, ... in a temporary copy of the settings file\n"
      "  --trace PATH               write the driver's exchange trace to PATH for this run\n"
      "                             (sets VRSILO_TRACE) and print its summary line at the end\n"
      "  --help                     this text\n"
      "Exit status: 0 when every requested operation succeeded (--probe: a gauge was\n"
      "found), 1 when one failed (--probe: none found), 2 on a usage error.");
}

// The summary line the driver object wrote when it went: the last one.
void PrintTraceSummary(const std::string& path) {
  std::ifstream in(path);
  std::string line, last;
  while (std::getline(in, line))
    if (line.find(" summary: ") != std::string::npos) last = line;
  if (last.empty())
    std::fprintf(stderr, "vr-host: no trace summary in %s\n", path.c_str());
  else
    std::printf("%s\n", last.c_str());
}

struct Host {
  VrSilo* silo = nullptr;

  template <typename F>
  F Slot(int index) const {
    return VRSILO_SLOT(silo, F, index);
  }
};

void PrintTable(const Host& h, int first, int last) {
  std::printf("%4s %10s %8s %8s %8s %8s %5s %8s %12s %4s\n", "tank", "level", "t1", "t2", "t3",
              "t4", "water", "density", "volume", "link");
  for (int tank = first; tank <= last; ++tank) {
    uint32_t i = static_cast<uint32_t>(tank - 1);
    double level = h.Slot<VrGetDoubleFn>(VRSILO_SLOT_GET_LEVEL)(h.silo, i);
    double t[4];
    h.Slot<VrGetTemperaturesFn>(VRSILO_SLOT_GET_TEMPERATURES)(h.silo, i, t);
    uint32_t water = h.Slot<VrGetWaterFn>(VRSILO_SLOT_GET_WATER)(h.silo, i);
    double density = h.Slot<VrGetDoubleFn>(VRSILO_SLOT_GET_DENSITY)(h.silo, i);
    double volume = h.Slot<VrGetDoubleFn>(VRSILO_SLOT_GET_VOLUME)(h.silo, i);
    uint32_t link = h.Slot<VrGetLinkStateFn>(VRSILO_SLOT_GET_LINK_STATE)(h.silo);
    std::printf("%4d %10.2f %8.2f %8.2f %8.2f %8.2f %5u %8.4f %12.2f %4u\n", tank, level, t[0],
                t[1], t[2], t[3], water, density, volume, link);
    std::fflush(stdout);
  }
}

int PrintCalibration(const Host& h, int tank) {
  int32_t height = 0;
  VrCalibrationPoints points{};
  int32_t rc = h.Slot<VrReadCalibrationFn>(VRSILO_SLOT_READ_CALIBRATION)(
      h.silo, static_cast<uint32_t>(tank), &height, &points);
  if (rc != 0) {
    std::fprintf(stderr, "vr-host: reading the calibration table of tank %d failed (height %d)\n",
                 tank, height);
    return 1;
  }
  std::printf("# tank %d: full height in mm, then the volume in litres at k/20 of it\n", tank);
  std::printf("height %d\n", height);
  for (int k = 0; k < VRSILO_CALIBRATION_POINTS; ++k)
    std::printf("%.3f\n", vr::ExtendedToDouble(points.bytes + VRSILO_EXTENDED_SIZE * k));
  return 0;
}

int WriteCalibration(const Host& h, int tank, const char* file) {
  std::ifstream in(file);
  if (!in) {
    std::fprintf(stderr, "vr-host: cannot read %s\n", file);
    return 1;
  }
  std::stringstream text;
  std::string line;
  while (std::getline(in, line)) text << line.substr(0, line.find('#')) << '\n';
  std::string word;
  int32_t height = 0;
  std::vector<double> volumes;
  while (text >> word) {
    if (word == "height") {
      text >> height;
    } else {
      volumes.push_back(std::strtod(word.c_str(), nullptr));
    }
  }
  if (height <= 0 || volumes.size() != VRSILO_CALIBRATION_POINTS) {
    std::fprintf(stderr, "vr-host: %s needs 'height H' and 20 volumes\n", file);
    return 1;
  }
  VrCalibrationPoints points{};
  for (int k = 0; k < VRSILO_CALIBRATION_POINTS; ++k)
    vr::DoubleToExtended(volumes[k], points.bytes + VRSILO_EXTENDED_SIZE * k);
  int32_t rc = h.Slot<VrWriteCalibrationFn>(VRSILO_SLOT_WRITE_CALIBRATION)(
      h.silo, static_cast<uint32_t>(tank), height, &points);
  std::printf("write calibration tank %d: %s\n", tank, rc == 0 ? "ok" : "failed");
  return rc == 0 ? 0 : 1;
}

enum LongOption {
  kLib = vr::tools::kLongOption,
  kPort,
  kBlock,
  kTanks,
  kGui,
  kScreenshots,
  kWatch,
  kCount,
  kCalibration,
  kWriteCalibration,
  kProbe,
  kProbeAddress,
  kTrace,
};

const option kLongOptions[] = {
    {"lib", required_argument, nullptr, kLib},
    {"port", required_argument, nullptr, kPort},
    {"block", required_argument, nullptr, kBlock},
    {"tanks", required_argument, nullptr, kTanks},
    {"gui", no_argument, nullptr, kGui},
    {"screenshots", required_argument, nullptr, kScreenshots},
    {"watch", no_argument, nullptr, kWatch},
    {"count", required_argument, nullptr, kCount},
    {"calibration", required_argument, nullptr, kCalibration},
    {"write-calibration", required_argument, nullptr, kWriteCalibration},
    {"probe", no_argument, nullptr, kProbe},
    {"probe-address", required_argument, nullptr, kProbeAddress},
    {"trace", required_argument, nullptr, kTrace},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// The value of the current option: a whole number from min to max.
int Number(const char* option, int min, int max) {
  return static_cast<int>(vr::tools::OptionNumber(option, optarg, min, max));
}

}  // namespace

int main(int argc, char** argv) {
  std::string libPath = vr::tools::DefaultLibrary(VR_DEFAULT_LIBRARY, VR_LIBRARY_SONAME);
  int port = 0, block = 0, first = 1, last = 16, count = 0;
  bool watch = false, gui = false;
  std::string screenshots;
  int calibration = 0, writeTank = 0;
  const char* writeFile = nullptr;
  bool probe = false;
  std::vector<std::string> probeAddresses;
  std::string tracePath;
  try {
    const bool run = vr::tools::ForEachOption(argc, argv, kLongOptions, [&](int c) {
      switch (c) {
        case 'h':
          Usage();
          return false;
        case kLib:
          libPath = optarg;
          break;
        case kPort:
          port = Number("--port", 1, 6);
          break;
        case kBlock:
          block = Number("--block", 1, 3);
          break;
        case kTanks:
          vr::tools::ParseTanks(optarg, first, last);
          break;
        case kGui:
          gui = true;
          break;
        case kScreenshots:
          screenshots = optarg;
          break;
        case kWatch:
          watch = true;
          break;
        case kCount:
          count = Number("--count", 1, INT_MAX);
          break;
        case kCalibration:
          calibration = Number("--calibration", 1, 99);
          break;
        case kWriteCalibration:  // N FILE: the file is the next word
          writeTank = Number("--write-calibration", 1, 99);
          if (optind >= argc) throw std::invalid_argument("--write-calibration needs a file");
          writeFile = argv[optind++];
          break;
        case kProbe:
          probe = true;
          break;
        case kProbeAddress:
          probe = true;
          if (*optarg == '\0' || std::strpbrk(optarg, "\r\n"))
            throw std::invalid_argument("--probe-address: '" + std::string(optarg) +
                                        "' is not one line of text");
          probeAddresses.push_back(optarg);
          break;
        case kTrace:
          if (*optarg == '\0') throw std::invalid_argument("--trace: the path is empty");
          tracePath = optarg;
          setenv("VRSILO_TRACE", optarg, 1);
          break;
      }
      return true;
    });
    if (!run) return 0;
    if (probe && (port || block || gui || watch || calibration || writeTank))
      throw std::invalid_argument("--probe takes no other options but --probe-address");
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "vr-host: %s (see --help)\n", e.what());
    return 2;
  }
  if (probe) return RunProbe(probeAddresses);

  std::string error;
  const vr::tools::DriverLibrary library = vr::tools::LoadDriverLibrary(libPath, error);
  if (!library.handle) {
    std::fprintf(stderr, "vr-host: %s\n", error.c_str());
    return 2;
  }
  if (gui) {
#ifdef VR_HOST_GUI
    GuiOptions options;
    options.port = port;
    options.block = block;
    options.first = first;
    options.last = last;
    options.screenshots = screenshots;
    int status = RunGui(argc, argv, library, options);
    dlclose(library.handle);
    if (!tracePath.empty()) PrintTraceSummary(tracePath);
    return status;
#else
    std::fprintf(stderr, "vr-host: built without Qt, --gui is not available\n");
    dlclose(library.handle);
    return 2;
#endif
  }
  Host h;
  if (port > 0)
    h.silo = library.ex3(nullptr, port, 0);
  else if (block > 0)
    h.silo = library.ex3(nullptr, block, 1);
  else
    h.silo = library.ex2(nullptr, 0, 0);
  if (!h.silo) return 2;

  char identity[VRSILO_IDENTITY_SIZE];
  h.Slot<VrGetIdentityFn>(VRSILO_SLOT_GET_IDENTITY)(identity, h.silo);
  std::string version(identity + 1, identity + 1 + static_cast<unsigned char>(identity[0]));
  const unsigned char* name = vrsilo_class_name(vrsilo_table(h.silo));
  std::printf("driver %s (class %.*s)\n", version.substr(0, version.find('#')).c_str(),
              static_cast<int>(name[0]), reinterpret_cast<const char*>(name) + 1);

  int status = 0;
  if (writeTank > 0) status |= WriteCalibration(h, writeTank, writeFile);
  if (calibration > 0) status |= PrintCalibration(h, calibration);
  if (writeTank == 0 && calibration == 0) {
    for (int n = 0;; ++n) {
      PrintTable(h, first, last);
      if (!watch || (count > 0 && n + 1 >= count)) break;
      std::this_thread::sleep_for(std::chrono::seconds(1));
      std::printf("\n");
    }
  }
  VRSILO_DESTROY(h.silo);
  dlclose(library.handle);
  if (!tracePath.empty()) PrintTraceSummary(tracePath);
  return status;
}
