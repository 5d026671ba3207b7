// The heartbeat thread against real pipelines.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/player_state.h"
#include "messaging/ack_delivery.h"
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
        last_iteration_time = time(nullptr);
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
    crashed = out.count_line("crash") > 0;
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
  EXPECT_EQ(out.count_line("crash"), 0);
  EXPECT_GE(out.count_line("[HEARTBEAT]   └─ Pipeline: state=PAUSED"), 6) << out.text();
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(p);
}

TEST(HeartbeatDeathTest, MainLoopThatStopsIteratingEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ack_system_running = 0;
        main_loop_iterations = 0;
        {
          FakeLoop loop;  // alive for a while, then the loop stops
          start_heartbeat();
          std::this_thread::sleep_for(std::chrono::seconds(6));
        }
        std::this_thread::sleep_for(std::chrono::seconds(20));
        _exit(0);  // not reached when the heartbeat ends the process
      },
      ::testing::ExitedWithCode(1), "");
}
