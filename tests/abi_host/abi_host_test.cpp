// A 32-bit host written for the library's binary interface: it loads the built
// library, creates objects through an entry point and calls every class entry
// and slot exactly as an Object Pascal host does (stack and register
// conventions checked by a call in assembly), with that host's x87 control
// word 0x1332 in force, against a gauge that answers NaN, infinities and
// denormals through the host's communication block.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <cmath>
#include <cstring>
#include <map>

#include "driver/silo.h"
#include "fake_comm_block.h"
#include "host_call.h"
#include "test_support.h"

namespace vr::test {
namespace {

constexpr uint32_t kHostControl = 0x1332;  // invalid, zero divide, overflow unmasked
constexpr uint32_t kHostMxcsr = 0x1900;

uint32_t Word(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}
// The control word without its reserved bit 6, which the FPU may report set.
uint32_t Control(uint32_t cw) {
  return cw & 0x1F3F;
}
uint16_t ControlWord() {
  uint16_t cw;
  __asm__ volatile("fnstcw %0" : "=m"(cw));
  return static_cast<uint16_t>(Control(cw));
}
float FloatOf(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}
bool Same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

HostCall Call(const void* fn, const std::vector<uint32_t>& stack, bool returnsDouble = false,
              uint32_t control = kHostControl, uint32_t eax = 0, uint32_t edx = 0,
              uint32_t ecx = 0) {
  HostCall c{};
  c.fn = fn;
  c.args = stack.data();
  c.count = static_cast<uint32_t>(stack.size());
  c.eax = eax, c.edx = edx, c.ecx = ecx;
  c.control = control;
  c.returns_double = returnsDouble;
  c.mxcsr = kHostMxcsr;
  vr_host_call(&c);
  return c;
}

// What the host needs back after every call: its stack, registers and FPU
// words as they were, no x87 register left over, no exception flag pending.
void ExpectHostStateKept(const HostCall& c, const std::string& what) {
  EXPECT_EQ(c.stack_delta, 0) << what;
  EXPECT_TRUE(c.callee_saved_kept) << what;
  EXPECT_EQ(Control(c.control_after), Control(c.control)) << what;
  EXPECT_EQ(c.mxcsr_after, kHostMxcsr) << what;
  EXPECT_EQ(c.status_after & 0xFF, 0u) << what << ": x87 exception flags left pending";
  const unsigned pushed = ((c.status_before >> 11) - (c.status_after >> 11)) & 7;
  EXPECT_EQ(pushed, c.returns_double ? 1u : 0u) << what << ": x87 register stack";
}

class AbiHost : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = dlopen(VRSILO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
    get_silo_ex3_ = dlsym(lib_, "GetSiloEx3");
    ASSERT_NE(get_silo_ex3_, nullptr);
    block_.SetResponder([this](const std::string& r) { return Answer(r); });
    block_.after_check = [this] { control_after_check_ = ControlWord(); };
  }
  void TearDown() override { dlclose(lib_); }

  // Every field of every reply carries the same bits.
  std::vector<uint8_t> Answer(const std::string& req) {
    control_in_transact_ = ControlWord();
    char v[9];
    std::snprintf(v, sizeof v, "%08X", bits_);
    const std::string code = req.substr(0, 4), echo = req.substr(0, 6), time = "2612071200";
    std::string fields;
    for (int k = 0; k < 20; ++k) fields += v;
    if (code == "i214")
      return MakeReply(echo, time + echo.substr(4) + "10000" + "06" + fields.substr(0, 48));
    if (code == "i607") return MakeReply(echo, time + "00" + v);
    if (code == "i606") return MakeReply(echo, time + "00" + fields);
    if (code == "s607" || code == "s606") return MakeReply(echo, time + "00" + req.substr(6));
    return {};
  }

  VrSilo* Create(uint32_t control = kHostControl) {
    HostCall c = Call(get_silo_ex3_, {Word(block_.Host()), 1, 1}, false, control);
    ExpectHostStateKept(c, "GetSiloEx3");
    return reinterpret_cast<VrSilo*>(c.eax_out);
  }
  // As the host's free routine: object in EAX, the flag in DL (the rest of
  // EDX is whatever the host had there), call [table - 4].
  HostCall Destroy(VrSilo* obj, uint8_t outermost = 1, uint32_t control = kHostControl) {
    HostCall c = Call(vrsilo_class_entry(vrsilo_table(obj), VRSILO_CLASS_DESTROY), {}, false,
                      control, Word(obj), 0xABCDEF00u | outermost, 0xCCCCCCCCu);
    ExpectHostStateKept(c, "destructor");
    return c;
  }

  TempWindowsDir windir_;
  FakeCommBlock block_;
  void* lib_ = nullptr;
  void* get_silo_ex3_ = nullptr;
  uint32_t bits_ = 0x447A0000;  // 1000.0
  uint16_t control_in_transact_ = 0, control_after_check_ = 0;
};

TEST_F(AbiHost, ClassRecordsAndStandardEntries) {
  VrSilo* obj = Create();
  ASSERT_NE(obj, nullptr);
  const VrSlotFn* silo = vrsilo_table(obj);
  const VrSlotFn* root = vrsilo_class_parent(silo);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(vrsilo_class_parent(root), nullptr) << "the chain ends at the root";
  int message[4] = {};
  const struct {
    const VrSlotFn* table;
    std::string name;
    uintptr_t size;
  } classes[] = {{silo, "TSilo", sizeof(TSilo)}, {root, "TObject", sizeof(void*)}};
  for (const auto& k : classes) {
    EXPECT_EQ(vrsilo_class_entry(k.table, VRSILO_CLASS_SELF), k.table) << k.name;
    for (int e = VRSILO_CLASS_INTERFACE_TABLE; e <= VRSILO_CLASS_DYNAMIC_TABLE; ++e)
      EXPECT_EQ(vrsilo_class_entry(k.table, e), nullptr) << k.name << " entry " << e;
    const unsigned char* name = vrsilo_class_name(k.table);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(name + 1), name[0]), k.name);
    EXPECT_EQ(vrsilo_instance_size(k.table), k.size) << k.name;
    const struct {
      int entry;
      uint32_t eax, edx, ecx;
      int64_t result;  // -1: none
    } entries[] = {
        {VRSILO_CLASS_SAFECALL_EXCEPTION, Word(obj), 0x1234, 0x5678, 0x8000FFFF},
        {VRSILO_CLASS_AFTER_CONSTRUCTION, Word(obj), 0, 0, -1},
        {VRSILO_CLASS_BEFORE_DESTRUCTION, Word(obj), 0, 0, -1},
        {VRSILO_CLASS_DISPATCH, Word(obj), Word(message), 0, -1},
        {VRSILO_CLASS_DEFAULT_HANDLER, Word(obj), Word(message), 0, -1},
        {VRSILO_CLASS_NEW_INSTANCE, Word(k.table), 0, 0, 0},
        {VRSILO_CLASS_FREE_INSTANCE, Word(obj), 0, 0, -1},
    };
    for (const auto& e : entries) {
      HostCall c =
          Call(vrsilo_class_entry(k.table, e.entry), {}, false, kHostControl, e.eax, e.edx, e.ecx);
      ExpectHostStateKept(c, k.name + " entry " + std::to_string(e.entry));
      if (e.result >= 0) {
        EXPECT_EQ(c.eax_out, static_cast<uint32_t>(e.result)) << e.entry;
      }
    }
  }
  Destroy(obj);
}

TEST_F(AbiHost, DestructorReleasesTheObjectWhateverTheFlag) {
  for (uint8_t outermost : {1, 0}) {
    VrSilo* obj = Create();
    ASSERT_NE(obj, nullptr);
    const size_t before = mallinfo2().uordblks;
    Destroy(obj, outermost);
    EXPECT_GE(before - mallinfo2().uordblks, sizeof(TSilo)) << "flag " << int{outermost};
  }
}

TEST_F(AbiHost, EverySlotUnderTheHostsFpuSettingsWithFaultyGaugeValues) {
  const struct {
    const char* name;
    uint32_t bits;
  } values[] = {{"1000", 0x447A0000},   {"quiet NaN", 0x7FC00000}, {"signalling NaN", 0x7F800001},
                {"+inf", 0x7F800000},   {"-inf", 0xFF800000},      {"denormal", 0x00000001},
                {"largest", 0x7F7FFFFF}};
  for (const auto& v : values) {
    bits_ = v.bits;
    VrSilo* obj = Create();
    ASSERT_NE(obj, nullptr);
    const uint32_t o = Word(obj);
    char identity[40];
    double temperatures[4] = {};
    int32_t height = 0;
    VrCalibrationPoints read{}, written{};
    for (int k = 0; k < 20; ++k) {
      const long double x = FloatOf(v.bits);
      std::memcpy(written.bytes + 10 * k, &x, 10);
    }
    const struct {
      int slot;
      std::vector<uint32_t> args;
      bool returnsDouble = false;
    } calls[] = {{0, {o}},
                 {1, {o}},
                 {2, {Word(identity), o}},
                 {3, {o, 1}},
                 {4, {o}},
                 {5, {o, 0}},
                 {6, {o}},
                 {7, {o, 0}},
                 {8, {o}},
                 {9, {o, 0}, true},
                 {10, {o, 0, Word(temperatures)}},
                 {11, {o, 0}},
                 {12, {o, 0}, true},
                 {13, {o, 0, 0}},
                 {14, {o, 0}, true},
                 {15, {o, 0, 0}},
                 {16, {o, 1, Word(&height), Word(&read)}},
                 {17, {o, 1, 2500, Word(&written)}}};
    std::map<int, HostCall> result;
    for (const auto& s : calls) {
      result[s.slot] =
          Call(reinterpret_cast<const void*>(vrsilo_table(obj)[s.slot]), s.args, s.returnsDouble);
      ExpectHostStateKept(result[s.slot], std::string(v.name) + ", slot " + std::to_string(s.slot));
    }
    // A value that is not finite reaches the host as 0.0.
    const double expected = std::isfinite(FloatOf(v.bits)) ? FloatOf(v.bits) : 0.0;
    EXPECT_TRUE(Same(result[9].st0, expected)) << v.name << ": level " << result[9].st0;
    EXPECT_TRUE(Same(result[14].st0, expected)) << v.name << ": volume " << result[14].st0;
    EXPECT_TRUE(Same(temperatures[3], expected)) << v.name << ": temperature";
    EXPECT_EQ(control_in_transact_, kHostControl) << "the host's words during its own slot";
    EXPECT_EQ(control_after_check_, kHostControl) << "the reply check restores them";
    if (v.bits == 0x447A0000) {
      EXPECT_EQ(result[16].eax_out, 0u);
      EXPECT_EQ(height, 1000);
      long double first;
      std::memcpy(&first, read.bytes, 10);
      EXPECT_EQ(first, 1000.0L);
      EXPECT_EQ(result[17].eax_out, 0u);
    }
    Destroy(obj);
  }
}

// The same gauge read under other precision and rounding settings of the host
// gives bit-identical results. (24-bit precision is left out: qemu rounds even
// the load of the returned double to the host's precision, which the x87
// does not.)
TEST_F(AbiHost, ResultsDoNotDependOnTheHostsPrecisionOrRounding) {
  bits_ = 0x443A5333;  // 745.3: the density division is inexact
  std::vector<std::vector<uint8_t>> outcomes;
  for (uint32_t control : {0x037Fu, 0x1332u, 0x027Fu, 0x077Fu, 0x0B7Fu, 0x0F7Fu}) {
    VrSilo* obj = Create(control);
    ASSERT_NE(obj, nullptr);
    std::vector<uint8_t> bytes;
    auto keep = [&](const void* p, size_t n) {
      bytes.insert(bytes.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
    };
    double temperatures[4];
    int32_t height = 0;
    VrCalibrationPoints points{};
    for (int slot : {9, 12, 14}) {
      HostCall c = Call(reinterpret_cast<const void*>(vrsilo_table(obj)[slot]), {Word(obj), 0},
                        true, control);
      ExpectHostStateKept(c, "slot " + std::to_string(slot));
      keep(&c.st0, sizeof c.st0);
    }
    Call(reinterpret_cast<const void*>(vrsilo_table(obj)[VRSILO_SLOT_GET_TEMPERATURES]),
         {Word(obj), 0, Word(temperatures)}, false, control);
    Call(reinterpret_cast<const void*>(vrsilo_table(obj)[VRSILO_SLOT_READ_CALIBRATION]),
         {Word(obj), 1, Word(&height), Word(&points)}, false, control);
    keep(temperatures, sizeof temperatures);
    keep(&height, sizeof height);
    keep(points.bytes, sizeof points.bytes);
    EXPECT_EQ(height, 745);
    outcomes.push_back(bytes);
    Destroy(obj, 1, control);
    EXPECT_EQ(outcomes.back(), outcomes.front()) << "control word " << std::hex << control;
  }
}

}  // namespace
}  // namespace vr::test
