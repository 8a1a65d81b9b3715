// Cached reads: what a host pays for a read within the refresh period.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "driver/silo.h"
#include "fake_comm_block.h"
#include "test_support.h"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

// Counts every heap allocation of the process, so the benchmark can report
// allocations per cached read.
void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using vr::test::FakeCommBlock;

struct Fixture {
  FakeCommBlock block;
  std::unique_ptr<vr::TSilo> silo;
  Fixture() {
    block.SetResponder([](const std::string& req) {
      return vr::test::InventoryReply(req.substr(0, 6), {20000, 10, 745, 1000, 3, 15});
    });
    silo = std::make_unique<vr::TSilo>(block.Host(), 0);
    silo->SetUpdatePeriodMs(3600000);
    silo->GetLevel(0);  // fill the cache
  }
};

template <int Slot>
void BM_CachedRead(benchmark::State& state) {
  Fixture f;
  VrSilo* obj = f.silo->ToHost();
  double t[4];
  long before = g_allocations.load();
  for (auto _ : state) {
    if constexpr (Slot == VRSILO_SLOT_GET_TEMPERATURES) {
      VRSILO_SLOT(obj, VrGetTemperaturesFn, Slot)(obj, 0, t);
      benchmark::DoNotOptimize(t);
    } else if constexpr (Slot == VRSILO_SLOT_GET_WATER) {
      benchmark::DoNotOptimize(VRSILO_SLOT(obj, VrGetWaterFn, Slot)(obj, 0));
    } else {
      benchmark::DoNotOptimize(VRSILO_SLOT(obj, VrGetDoubleFn, Slot)(obj, 0));
    }
  }
  state.counters["allocs_per_call"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
  if (f.block.requests.size() != 1) state.SkipWithError("a cached read went to the gauge");
}
BENCHMARK(BM_CachedRead<VRSILO_SLOT_GET_LEVEL>)->Name("cached/GetLevel");
BENCHMARK(BM_CachedRead<VRSILO_SLOT_GET_TEMPERATURES>)->Name("cached/GetTemperatures");
BENCHMARK(BM_CachedRead<VRSILO_SLOT_GET_WATER>)->Name("cached/GetWater");
BENCHMARK(BM_CachedRead<VRSILO_SLOT_GET_DENSITY>)->Name("cached/GetDensity");
BENCHMARK(BM_CachedRead<VRSILO_SLOT_GET_VOLUME>)->Name("cached/GetVolume");

}  // namespace

BENCHMARK_MAIN();
