// Whole-program check of the link tests: no thread and no descriptor (so no
// pseudo-terminal) is left behind once all tests have run.
#include <gtest/gtest.h>

#include <thread>

#include "link_test_helpers.h"

namespace vr::linktest {
namespace {

class NothingLeftBehind : public ::testing::Environment {
 public:
  void SetUp() override {
    // A sanitizer starts a helper thread of its own with the first thread;
    // start one here so that the per-test counts do not see it.
    std::thread([] {}).join();
    fds_ = OpenDescriptors();
    threads_ = ThreadCount();
  }
  void TearDown() override {
    EXPECT_TRUE(Eventually([&] { return ThreadCount() <= threads_; }, 1000))
        << "threads left at the end: " << ThreadCount() << " > " << threads_;
    EXPECT_EQ(OpenDescriptors(), fds_) << "descriptors left at the end";
  }

 private:
  int fds_ = 0;
  int threads_ = 0;
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new NothingLeftBehind);

}  // namespace
}  // namespace vr::linktest
