// The heartbeat thread against real pipelines.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/player_state.h"
#include "messaging/ack_delivery.h"
#include "protocol/protocol.h"
#include "support/test_support.h"
#include "watchdog/heartbeat.h"

namespace {

// Keeps the main-loop counter moving, as a live main loop does.
class FakeLoop {
 public:
  FakeLoop() {
    thread_ = std::thread([this] {
      while (running_) {
        ++main_loop_iterations;
        last_iteration_time = monotonic_seconds();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
  }
  ~FakeLoop() {
    running_ = false;
    thread_.join();
  }

 private:
  std::atomic<bool> running_{true};
  std::thread thread_;
};

GstElement* start_pipeline(const char* description, GstState state) {
  GstElement* p = gst_parse_launch(description, nullptr);
  gst_element_set_state(p, state);
  gst_element_get_state(p, nullptr, nullptr, 10 * GST_SECOND);
  return p;
}

}  // namespace

TEST(Heartbeat, StopIsPrompt) {
  ack_system_running = 0;
  StdoutCapture out;
  start_heartbeat();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto t0 = std::chrono::steady_clock::now();
  stop_heartbeat();
  auto elapsed = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 500);
}

TEST(Heartbeat, PlayingPipelineWithoutProgressReportsCrash) {
  ack_system_running = 0;  // the event comes out as a plain line
  // Five frames, then end of stream: the pipeline stays PLAYING at one position.
  GstElement* p = start_pipeline("videotestsrc num-buffers=5 ! fakesink sync=true", GST_STATE_PLAYING);
  global_pipeline = p;
  FakeLoop loop;
  StdoutCapture out;
  start_heartbeat();
  bool crashed = false;
  for (int i = 0; i < 450 && !crashed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    crashed = out.count_line(protocol::CRASH) > 0;
  }
  stop_heartbeat();
  global_pipeline = nullptr;
  EXPECT_TRUE(crashed) << out.text();
  EXPECT_TRUE(out.has_substring("🚨🚨🚨 [CRASH DETECTED] Pipeline STALLED for 30 seconds! 🚨🚨🚨"));
  EXPECT_TRUE(out.has_substring("| ⚠️  STALLED (position not advancing! 25s)"));
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(p);
}

TEST(Heartbeat, PausedPipelineNeverReportsCrash) {
  ack_system_running = 0;
  GstElement* p = start_pipeline("videotestsrc ! fakesink sync=true", GST_STATE_PAUSED);
  global_pipeline = p;
  FakeLoop loop;
  StdoutCapture out;
  start_heartbeat();
  std::this_thread::sleep_for(std::chrono::seconds(36));
  stop_heartbeat();
  global_pipeline = nullptr;
  EXPECT_EQ(out.count_line(protocol::CRASH), 0);
  EXPECT_GE(out.count_line("[HEARTBEAT]   └─ Pipeline: state=PAUSED"), 6) << out.text();
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(p);
}

namespace {

// Exit status and the lines of a child process in which the main loop stopped
// iterating, each line with the time it arrived here.
struct StallRun {
  int status = -1;
  std::vector<std::pair<double, std::string>> lines;
};

// The heartbeat ends the whole process, so it runs in a child of its own whose
// standard output comes back through a pipe; nothing else runs in the child.
StallRun run_stalling_child() {
  StallRun run;
  int fds[2];
  if (pipe(fds) != 0) return run;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    ack_system_running = 0;
    main_loop_iterations = 0;
    {
      FakeLoop loop;  // alive for a while, then the loop stops
      start_heartbeat();
      std::this_thread::sleep_for(std::chrono::seconds(6));
    }
    std::this_thread::sleep_for(std::chrono::seconds(40));
    _exit(0);  // not reached when the heartbeat ends the process
  }
  close(fds[1]);
  auto t0 = std::chrono::steady_clock::now();
  auto deadline = t0 + std::chrono::seconds(50);
  std::string pending;
  char buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;  // the child has ended
    double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    pending.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
      run.lines.emplace_back(at, pending.substr(0, nl));
  }
  close(fds[0]);
  for (int i = 0; i < 50; ++i) {
    if (waitpid(pid, &run.status, WNOHANG) == pid) return run;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  run.status = -1;
  return run;
}

}  // namespace

TEST(Heartbeat, MainLoopStalledAtTwoConsecutiveChecksEndsTheProcess) {
  StallRun run = run_stalling_child();
  ASSERT_TRUE(WIFEXITED(run.status)) << "the child was still running after 50 s";
  EXPECT_EQ(WEXITSTATUS(run.status), 1);

  std::string all;
  for (auto& l : run.lines) all += l.second + "\n";
  // The last check that saw the loop iterate, then every line after it.
  int alive = -1;
  for (size_t i = 0; i < run.lines.size(); ++i)
    if (run.lines[i].second.rfind(protocol::LOOP_ALIVE, 0) == 0) alive = static_cast<int>(i);
  ASSERT_GE(alive, 0) << all;
  // The end comes two check periods after the last check that saw progress:
  // halfway between one period (exit at the first stalled check) and three.
  double elapsed = run.lines.back().first - run.lines[alive].first;
  EXPECT_GE(elapsed, 1.5 * HEARTBEAT_PERIOD_SECONDS) << all;
  EXPECT_LE(elapsed, 2.5 * HEARTBEAT_PERIOD_SECONDS) << all;
  std::vector<std::string> after;
  for (size_t i = alive + 1; i < run.lines.size(); ++i) after.push_back(run.lines[i].second);
  // Two stalled checks of five lines each, then the fatal line, and nothing else.
  ASSERT_EQ(after.size(), 11u) << all;
  EXPECT_EQ(after[0], "[HEARTBEAT] ⚠️  MAIN LOOP STALLED! No progress for 1s") << all;
  EXPECT_EQ(after[5], "[HEARTBEAT] ⚠️  MAIN LOOP STALLED! No progress for 2s") << all;
  for (int first : {0, 5}) {
    EXPECT_EQ(after[first + 1].rfind("[HEARTBEAT]   └─ Stuck at iteration: ", 0), 0u) << all;
    EXPECT_EQ(after[first + 2], "[HEARTBEAT]   └─ cleanup_in_progress: 0") << all;
    EXPECT_EQ(after[first + 3], "[HEARTBEAT]   └─ switch_in_progress: 0") << all;
    EXPECT_EQ(after[first + 4].rfind("[HEARTBEAT]   └─ Time since last iteration: ", 0), 0u) << all;
  }
  EXPECT_EQ(after[10], "[HEARTBEAT] 💀 FATAL: Main loop stalled for 2 consecutive checks (6s) - TERMINATING PROCESS!")
      << all;
}
