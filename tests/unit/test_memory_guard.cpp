// The shared-memory guard and the restart progress line.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "core/player_state.h"
#include "support/test_support.h"
#include "restart/rebuild_policy.h"
#include "watchdog/memory_guard.h"

namespace {

std::string meminfo_with(const std::string& body) {
  static int n = 0;
  // Each test runs in a process of its own, maybe beside the others: the pid keeps their files apart.
  std::string path = ::testing::TempDir() + "meminfo_" + std::to_string(getpid()) + "_" + std::to_string(++n);
  std::ofstream(path) << body;
  return path;
}

}  // namespace

TEST(MemoryGuard, ReadsTheShmemLineOnly) {
  EXPECT_EQ(get_shmem_usage_kb(meminfo_with("MemTotal: 100 kB\nShmemHugePages: 7 kB\nShmem:     2764800 kB\n").c_str()),
            2764800u);
  EXPECT_EQ(get_shmem_usage_kb(meminfo_with("ShmemPmdMapped: 5 kB\n").c_str()), 0u);
  EXPECT_EQ(get_shmem_usage_kb(meminfo_with("Shmem: lots\n").c_str()), 0u);
  EXPECT_EQ(get_shmem_usage_kb("/no/such/meminfo"), 0u);
  EXPECT_GT(get_shmem_usage_kb(), 0u);  // the real one
}

TEST(MemoryGuard, ThresholdItselfIsAllowed) {
  set_meminfo_path_for_testing(meminfo_with("Shmem: 2764800 kB\n").c_str());
  StdoutCapture out;
  main_loop_iterations = 300;
  check_shared_memory();
  EXPECT_EQ(out.text(), "");
}

TEST(MemoryGuardDeathTest, AboveTheThresholdEndsWithStatus2AtACheckIteration) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string high = meminfo_with("Shmem: 2764801 kB\n");
  EXPECT_EXIT(
      {
        set_meminfo_path_for_testing(high.c_str());
        main_loop_iterations = 301;
        check_shared_memory();  // not a check iteration: nothing happens
        main_loop_iterations = 600;
        check_shared_memory();
        _exit(0);
      },
      ::testing::ExitedWithCode(2), "");
}

TEST(RestartProgress, PrintedEveryTenThousandAndClampedPastTheLimit) {
  StdoutCapture out;
  iterations_since_last_restart = 0;
  print_restart_progress();
  iterations_since_last_restart = 10000;
  print_restart_progress();
  iterations_since_last_restart = 150000;
  print_restart_progress();
  iterations_since_last_restart = 160000;
  print_restart_progress();
  iterations_since_last_restart = 0;
  EXPECT_EQ(out.lines(), (std::vector<std::string>{
                             "[RESTART INFO] Progress: 10000/150000 iterations | Restart in: 140000 (~233min)",
                             "[RESTART INFO] Progress: 150000/150000 iterations | Restart in: 0 (~0min)",
                             "[RESTART INFO] Progress: 160000/150000 iterations | Restart in: 0 (~0min)"}));
}

TEST(RestartProgress, SchedulesOnceAtTheLimit) {
  StdoutCapture out;
  restart_scheduled = 0;
  iterations_since_last_restart = MAX_ITERATIONS_BEFORE_RESTART - 2;
  schedule_restart_by_iterations();
  EXPECT_EQ(restart_scheduled.load(), 0);
  schedule_restart_by_iterations();
  EXPECT_EQ(restart_scheduled.load(), 1);
  EXPECT_EQ(waiting_for_video_end.load(), 1);
  schedule_restart_by_iterations();
  EXPECT_EQ(out.count_line("[RESTART] ⏰ Reached 150000 iterations - restart scheduled"), 1);
  EXPECT_EQ(out.count_line("[RESTART] ⏳ Waiting for current video to finish..."), 1);
  restart_scheduled = 0;
  waiting_for_video_end = 0;
  iterations_since_last_restart = 0;
}
