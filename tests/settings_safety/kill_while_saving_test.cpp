// A save of the settings file killed at any moment: a helper process saves
// over and over, reporting each completed save, and is killed with SIGKILL
// after a random time, many times. The file must then be exactly the last
// completed save or the one in progress, whole, with every other section of
// the host's file byte for byte; never a mix, never empty.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "settings_texts.h"
#include "test_support.h"

extern char** environ;

namespace vr::safety {
namespace {

using Clock = std::chrono::steady_clock;

int Rounds() {
  const char* r = std::getenv("VR_KILL_ROUNDS");
  return r && std::atoi(r) > 0 ? std::atoi(r) : 150;
}

// The saver, running; its standard output is the pipe read_fd.
struct Saver {
  pid_t pid = -1;
  int read_fd = -1;
};

Saver Spawn(const char* mode) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  char* argv[] = {const_cast<char*>(SETTINGS_SAVER), const_cast<char*>(mode), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, SETTINGS_SAVER, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return {};
  }
  return {pid, fds[0]};
}

// Reads what the saver wrote: 'r' once ready, '.' after each save.
std::string Drain(int fd, int timeoutMs) {
  std::string got;
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) break;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
    timeoutMs = 0;
  }
  return got;
}

bool WaitReady(int fd) {
  char c = 0;
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 20000) == 1 && ::read(fd, &c, 1) == 1 && c == 'r';
}

int CountTemporaries(const std::string& dir) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().rfind(".cnf.INI.", 0) == 0) ++n;
  return n;
}

struct Figures {
  int rounds = 0;
  uint64_t saves = 0;
  std::map<std::string, int> states;
  int temporaries = 0;
};

// Kills the saver again and again; each run starts from the file the last one
// left, and save i of a run leaves `first` (i even) or `second` (i odd).
Figures KillRepeatedly(const test::TempWindowsDir& windir, const char* mode,
                       const std::string& original, const std::string& first,
                       const std::string& second) {
  EXPECT_EQ(windir.ReadSettings(), original);
  auto state = [&](uint64_t i) { return i % 2 == 0 ? first : second; };
  auto name = [&](const std::string& text) {
    return text == original ? "original" : text == first ? "first" : "second";
  };
  Figures f;
  std::mt19937 rng(42);
  double delay_limit_us = 2000;  // grows until saves complete within it
  for (int round = 0; round < Rounds(); ++round) {
    const std::string previous = windir.ReadSettings();
    Saver s = Spawn(mode);
    EXPECT_GT(s.pid, 0) << "cannot start " << SETTINGS_SAVER;
    if (s.pid <= 0) return f;
    EXPECT_TRUE(WaitReady(s.read_fd)) << "the saver did not start";
    const auto delay = std::chrono::microseconds(
        std::uniform_int_distribution<int64_t>(0, static_cast<int64_t>(delay_limit_us))(rng));
    std::this_thread::sleep_for(delay);
    ::kill(s.pid, SIGKILL);
    int status = 0;
    ::waitpid(s.pid, &status, 0);
    const std::string reports = Drain(s.read_fd, 0);
    ::close(s.read_fd);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the saver ended by itself: " << status;

    const uint64_t done = static_cast<uint64_t>(std::count(reports.begin(), reports.end(), '.'));
    f.saves += done;
    ++f.rounds;
    // Done saves leave state(done - 1); the one in progress may have finished.
    const std::string before = done == 0 ? previous : state(done - 1);
    const std::string after = state(done);
    const std::string text = windir.ReadSettings();
    if (text != before && text != after) {
      ADD_FAILURE() << "round " << round << ", " << done << " saves done: the file is neither "
                    << name(before) << " nor " << name(after) << " (" << text.size() << " bytes):\n"
                    << text;
      return f;
    }
    ++f.states[name(text)];
    // Aim the kills at the first few saves: twice the time one save takes.
    if (done == 0)
      delay_limit_us = std::min(delay_limit_us * 1.5, 500000.0);
    else
      delay_limit_us = std::max(500.0, 2.0 * static_cast<double>(delay.count()) / done);
  }
  f.temporaries = CountTemporaries(windir.Dir());
  return f;
}

void Print(const char* what, const Figures& f) {
  std::printf("[ figures  ] %s: %d kills, %llu saves completed, file after kill:", what, f.rounds,
              static_cast<unsigned long long>(f.saves));
  for (const auto& [state, n] : f.states) std::printf(" %s %d", state.c_str(), n);
  std::printf(", %d temporary files left by killed saves\n", f.temporaries);
}

TEST(KillWhileSaving, SettingsDialogSave) {
  test::TempWindowsDir windir;
  windir.WriteSettings(kOriginal);
  const Figures f = KillRepeatedly(windir, "settings", kOriginal, kSettingsA, kSettingsB);
  Print("settings save", f);
  EXPECT_EQ(f.rounds, Rounds());
  EXPECT_GT(f.saves, 0u) << "no kill came after a completed save";
  EXPECT_GT(f.states.count("first") + f.states.count("second"), 0u)
      << "no kill left a completed save behind";
}

TEST(KillWhileSaving, CalibrationTableSave) {
  test::TempWindowsDir windir;
  windir.WriteSettings(kOriginal);
  const Figures f = KillRepeatedly(windir, "table", kOriginal, kTableA, kTableB);
  Print("table save", f);
  EXPECT_EQ(f.rounds, Rounds());
  EXPECT_GT(f.saves, 0u);
}

// Two savers at once (two processes of the host, or the dialog and the
// window): a save may be lost to the other, but the file is always one whole
// save.
TEST(KillWhileSaving, TwoSaversAtOnce) {
  test::TempWindowsDir windir;
  windir.WriteSettings(kOriginal);
  for (int round = 0; round < 10; ++round) {
    Saver a = Spawn("settings");
    Saver b = Spawn("settings");
    ASSERT_GT(a.pid, 0);
    ASSERT_GT(b.pid, 0);
    EXPECT_TRUE(WaitReady(a.read_fd));
    EXPECT_TRUE(WaitReady(b.read_fd));
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + 13 * round));
    ::kill(a.pid, SIGKILL);
    ::kill(b.pid, SIGKILL);
    ::waitpid(a.pid, nullptr, 0);
    ::waitpid(b.pid, nullptr, 0);
    ::close(a.read_fd);
    ::close(b.read_fd);
    const std::string text = windir.ReadSettings();
    EXPECT_TRUE(text == kOriginal || text == kSettingsA || text == kSettingsB)
        << "round " << round << ": not one whole save:\n"
        << text;
  }
}

}  // namespace
}  // namespace vr::safety
