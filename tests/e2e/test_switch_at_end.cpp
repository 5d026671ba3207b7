// The switch armed in advance with switch_at_end, driven by a prompt manager
// that arms it in the same write as its answer to "Preload complete".
#include "e2e_helpers.h"

namespace {

class SwitchAtEnd : public PlayerE2E {
 protected:
  int expect_line(const std::string& line, size_t from, double timeout = EVENT_TIMEOUT) {
    int at = player->wait_for_line(line, timeout, from);
    EXPECT_GE(at, 0) << line << dump();
    return at;
  }
  // Preloads a file and arms the switch as soon as the preload is complete.
  void preload_and_arm(const std::string& file) {
    size_t from = player->line_count();
    player->answer_then("Preload complete", "switch_at_end");
    player->send("preload " + clip(file));
    expect_line("[SWITCH AT END] Armed - the switch happens when the current video ends", from);
  }
};

}  // namespace

// Each file is shown and heard in turn, each ending is reported once, and no
// switch is written after an end.
TEST_F(SwitchAtEnd, EachFileFollowsTheOneThatEnded) {
  sink = std::make_unique<SoundSink>();
  ASSERT_TRUE(sink->ok()) << "no sound server to listen to";
  start_playing({clip("red.mp4")});
  preload_ready(clip("green.mp4"));
  switch_to(GREEN);
  size_t from = player->line_count();
  struct Step {
    const char* file;
    Rgb colour;
    double tone;  // 0: silent
  };
  for (const Step& step : {Step{"blue.mp4", BLUE, TONE_STEREO}, Step{"mono.mp4", MAGENTA, TONE_MONO},
                           Step{"silent.mp4", CYAN, 0}}) {
    SCOPED_TRACE(step.file);
    size_t at = player->line_count();
    preload_and_arm(step.file);
    int fired = expect_line("[SWITCH AT END] Current video ended - switching", at, 15);
    ASSERT_GE(fired, 0);
    expect_line("[SWITCH] Command completed successfully!", fired);
    EXPECT_TRUE(display.wait_for_colour(step.colour, 10)) << dump();
    SoundSink::Heard h = listen_for(*sink, step.tone, 2);
    EXPECT_TRUE(heard(h, step.tone)) << "rms " << h.rms << ", " << h.frequency << " Hz";
  }
  // The last file ends on its own.
  size_t before_last_end = player->line_count();
  expect_line("end of video!", before_last_end, 15);
  // Green, blue, mono and silent: one end each.
  EXPECT_EQ(player->count_exact("end of video!", from), 4) << dump();
  EXPECT_EQ(player->count_substring("[STDIN] Processing command: switch_at_end", from), 3);
  EXPECT_EQ(player->count_exact("[STDIN] Processing command: switch", from), 0);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// Refused as switch is, with its lines; an armed switch goes with a manual one.
TEST_F(SwitchAtEnd, RefusalsAndAManualSwitchDisarm) {
  start_playing({clip("long.mp4")});
  size_t from = player->line_count();
  player->send("switch_at_end");
  expect_line("[SWITCH] ERROR - preload_selector_pad is NULL", from);
  EXPECT_EQ(player->count_substring("[SWITCH AT END] Armed", from), 0);

  preload_ready(clip("green.mp4"));
  from = player->line_count();
  player->send("switch_at_end");
  expect_line("[SWITCH AT END] Armed - the switch happens when the current video ends", from);
  player->send("switch");
  int disarmed = expect_line("[SWITCH AT END] Disarmed", from);
  expect_line("[SWITCH] Command completed successfully!", disarmed);
  EXPECT_TRUE(display.wait_for_colour(GREEN, 10)) << dump();
  // The green file ends as any file does: no armed switch is left to fire.
  int end = expect_line("end of video!", from, 15);
  ASSERT_GE(end, 0);
  EXPECT_EQ(player->count_substring("[SWITCH AT END] Current video ended", from), 0);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// A rebuild for another picture shape already due at the end of the video is
// what happens there; the armed switch does not take its place.
TEST_F(SwitchAtEnd, RebuildDueAtTheEndStillWins) {
  start_playing({clip("red.mp4")});
  preload_ready(clip("green.mp4"));
  switch_to(GREEN);
  size_t from = player->line_count();
  preload_and_arm("silent_square.mp4");
  EXPECT_EQ(player->count_exact("[AR] 📅 Scheduling restart for after video ends...", from), 1) << dump();
  int eos = expect_line("[EOS DETECTED] Video ended - executing scheduled restart...", from, 15);
  int reset = expect_line("reset", eos);
  expect_line("playing", reset);
  EXPECT_TRUE(display.wait_for_colour(NAVY, 10)) << dump();
  EXPECT_EQ(player->count_substring("[SWITCH AT END] Current video ended", from), 0);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
