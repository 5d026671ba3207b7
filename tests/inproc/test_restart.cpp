// The complete rebuild and its scheduling, on real pipelines.
#include <cstdlib>

#include "core/gst_holders.h"
#include "player_fixture.h"
#include "player/pipeline_restart.h"
#include "protocol/protocol.h"
#include "support/standin_ffprobe.h"
#include "switching/preload.h"
#include "switching/switch_command.h"
#include "watchdog/heartbeat.h"
#include "restart/rebuild_policy.h"

namespace {

class Restart : public PlayerInProcess {
 protected:
  void switch_to(const std::string& file) {
    ASSERT_EQ(handle_preload_command(st(), clip(file).c_str()), CommandOutcome::Processed);
    ASSERT_TRUE(pump_until([] { return st().preload_ready.load() == 1; }, 20));
    handle_switch_command(st());
  }
  // The loop's per-iteration watchdog steps, as the main loop runs them.
  void loop_step() {
    pump_once();
    print_restart_progress();
    schedule_restart_by_iterations();
    if (restart_pending) execute_pending_restart(st());
  }
  void TearDown() override {
    stop_heartbeat();
    PlayerInProcess::TearDown();
  }
  // A pipeline of our own, with a file source whose location may be unset.
  void use_pipeline(const char* description) {
    forget_previous_player();
    ack_system_running = 0;
    out.reset();
    out = std::make_unique<StdoutCapture>();
    st().pipeline = gst_parse_launch(description, nullptr);
    st().filesrc = gst_bin_get_by_name(GST_BIN(st().pipeline), "filesrc0");
    global_pipeline = st().pipeline;
  }
};

}  // namespace

TEST_F(Restart, ScheduledByCountRebuildsAtTheEndOfTheVideo) {
  start(clip("red.mp4"));
  command_play(st());
  switch_to("green.mp4");
  iterations_since_last_restart = MAX_ITERATIONS_BEFORE_RESTART - 3;
  ASSERT_TRUE(pump_until(
      [this] {
        loop_step();
        return out->count_line(protocol::PLAYING) >= 1 && out->count_line(protocol::RESET) == 1;
      },
      30));
  auto lines = out->lines();
  auto at = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) - lines.begin(); };
  long scheduled = at("[RESTART] ⏰ Reached 150000 iterations - restart scheduled");
  long eos = at(protocol::REBUILD_AT_EOS);
  long end = at(protocol::END_OF_VIDEO);
  long reset = at(protocol::RESET);
  EXPECT_LT(scheduled, eos);
  EXPECT_LT(eos, end);
  EXPECT_LT(end, reset);
  EXPECT_TRUE(out->has_substring(protocol::REBUILD_REPLAY + clip("green.mp4")));
  EXPECT_EQ(restart_scheduled.load(), 0);
  EXPECT_LT(iterations_since_last_restart.load(), 100u);
  EXPECT_EQ(ignore_next_switch.load(), 1);
  // The same file plays again from its start, and its end is reported.
  EXPECT_TRUE(pump_until([this] { loop_step(); return out->count_line(protocol::END_OF_VIDEO) == 2; }, 15));
}

TEST_F(Restart, SwitchOrStopCancelsTheSchedule) {
  start(clip("red.mp4"));
  command_play(st());
  restart_scheduled = waiting_for_video_end = 1;
  iterations_since_last_restart = MAX_ITERATIONS_BEFORE_RESTART;
  switch_to("green.mp4");
  EXPECT_EQ(out->count_line("[SWITCH] 🔄 Canceling scheduled restart (switch provides cleanup)"), 1);
  EXPECT_EQ(restart_scheduled.load() + waiting_for_video_end.load(), 0);
  EXPECT_EQ(iterations_since_last_restart.load(), 0u);
  restart_scheduled = waiting_for_video_end = 1;
  ignore_next_switch = 1;
  command_stop(st());
  EXPECT_EQ(out->count_line("[STOP] 🔄 Canceling scheduled restart"), 1);
  EXPECT_EQ(out->count_line("[STOP] 🧹 Resetting ignore_next_switch flag"), 1);
  EXPECT_EQ(restart_scheduled.load() + ignore_next_switch.load(), 0);
  EXPECT_EQ(out->count_line(protocol::STOPPED), 1);
}

TEST_F(Restart, NothingToRebuildChangesOnlyTheCounter) {
  use_pipeline("fakesrc ! fakesink");  // no file source
  GstElement* before = st().pipeline;
  iterations_since_last_restart = 1234;
  EXPECT_TRUE(perform_complete_pipeline_restart(st(), FALSE));
  EXPECT_EQ(out->count_line("[RESTART] ⚠️  SKIP: No active video"), 1);
  EXPECT_EQ(st().pipeline, before);
  EXPECT_EQ(iterations_since_last_restart.load(), 0u);
  EXPECT_EQ(suppress_events.load(), 0);

  use_pipeline("filesrc name=filesrc0 location=/placeholder.mp4 ! fakesink");
  before = st().pipeline;
  restart_scheduled = waiting_for_video_end = 1;
  EXPECT_TRUE(perform_complete_pipeline_restart(st(), FALSE));
  EXPECT_EQ(out->count_line("[RESTART] ⚠️  SKIP: Placeholder video"), 1);
  EXPECT_EQ(st().pipeline, before);
  EXPECT_EQ(restart_scheduled.load(), 1);  // still waiting for the next end
  EXPECT_EQ(out->count_line(protocol::RESET), 0);
  restart_scheduled = waiting_for_video_end = 0;
}

TEST_F(Restart, NoFileToRestoreEndsTheLoopCleanly) {
  use_pipeline("filesrc name=filesrc0 ! fakesink");
  restart_pending = 1;
  execute_pending_restart(st());
  EXPECT_EQ(out->count_line("[RESTART] ❌ ERROR: No file to restore!"), 1);
  EXPECT_EQ(out->count_line("[RESTART] ❌ CRITICAL: Restart failed - terminating"), 1);
  EXPECT_TRUE(st().quit);
  EXPECT_FALSE(st().fatal_error);  // the process ends with status 0
  EXPECT_EQ(suppress_events.load(), 0);
}

TEST_F(Restart, PendingCleanupIsCancelledAndNeverRuns) {
  start(clip("red.mp4"));
  command_play(st());
  switch_to("green.mp4");
  switch_to("blue.mp4");
  ASSERT_NE(active_cleanup_timeout_id.load(), 0u);
  restart_pending = 1;
  execute_pending_restart(st());
  EXPECT_TRUE(out->has_substring("[RESTART] ⚠️  Cancelled pending cleanup (ID: "));
  EXPECT_EQ(active_cleanup_timeout_id.load(), 0u);
  EXPECT_EQ(cleanup_in_progress.load(), 0);
  pump_for(3.0);
  EXPECT_EQ(out->count_line(protocol::CLEANUP_START), 0);
  EXPECT_TRUE(out->has_substring(protocol::REBUILD_REPLAY + clip("blue.mp4")));
  EXPECT_EQ(global_pipeline.load(), st().pipeline);
}

// A rebuild that comes while the preload's picture shape is still being read
// (ffprobe hangs): the check is stopped with it, the file on screen is played
// again, and nothing of that preload reaches the manager afterwards.
TEST_F(Restart, RebuildWhileTheShapeCheckRunsStopsTheCheck) {
  StandinFfprobe ffprobe(StandinFfprobe::Then::Hang);
  std::string saved_path = getenv("PATH");
  setenv("PATH", ffprobe.path_variable().c_str(), 1);

  start(clip("red.mp4"));
  command_play(st());
  switch_to("green.mp4");  // the check of this one hangs too, and is killed after its time-out
  ASSERT_EQ(handle_preload_command(st(), clip("blue.mp4").c_str()), CommandOutcome::Processed);
  // Linked, but its shape not known yet.
  ASSERT_TRUE(pump_until([] { return st().preload_selector_pad.load() != nullptr; }, 10));
  pump_for(0.5);
  EXPECT_EQ(st().preload_ready.load(), 0);
  int completes = out->count_line(protocol::PRELOAD_COMPLETE);
  auto began = std::chrono::steady_clock::now();
  restart_pending = 1;
  execute_pending_restart(st());
  auto took = std::chrono::steady_clock::now() - began;
  EXPECT_LT(took, std::chrono::seconds(4)) << "the rebuild waited for the check";
  EXPECT_TRUE(out->has_substring(protocol::REBUILD_REPLAY + clip("green.mp4")));
  pump_for(6.0);  // past the check's own time-out
  EXPECT_EQ(out->count_line(protocol::PRELOAD_COMPLETE), completes);
  EXPECT_EQ(out->count_line(protocol::RESET), 1);
  EXPECT_EQ(st().preload_ready.load(), 0);

  setenv("PATH", saved_path.c_str(), 1);
}
