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
    player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH_AT_END);
    player->send(protocol::CMD_PRELOAD + clip(file));
    expect_line(protocol::ARMED, from);
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
    int fired = expect_line(protocol::ARMED_SWITCH_TAKEN, at, 15);
    ASSERT_GE(fired, 0);
    expect_line(protocol::SWITCH_DONE, fired);
    EXPECT_TRUE(display.wait_for_colour(step.colour, 10)) << dump();
    SoundSink::Heard h = listen_for(*sink, step.tone, 2);
    EXPECT_TRUE(heard(h, step.tone)) << "rms " << h.rms << ", " << h.frequency << " Hz";
  }
  // The last file ends on its own.
  size_t before_last_end = player->line_count();
  expect_line(protocol::END_OF_VIDEO, before_last_end, 15);
  // Green, blue, mono and silent: one end each.
  EXPECT_EQ(player->count_exact(protocol::END_OF_VIDEO, from), 4) << dump();
  EXPECT_EQ(player->count_substring(protocol::COMMAND_TAKEN + std::string(protocol::CMD_SWITCH_AT_END), from), 3);
  EXPECT_EQ(player->count_exact(protocol::COMMAND_TAKEN + std::string(protocol::CMD_SWITCH), from), 0);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// Refused as switch is, with its lines; an armed switch goes with a manual one.
TEST_F(SwitchAtEnd, RefusalsAndAManualSwitchDisarm) {
  start_playing({clip("long.mp4")});
  size_t from = player->line_count();
  player->send(protocol::CMD_SWITCH_AT_END);
  expect_line(protocol::SWITCH_ERROR_NO_PAD, from);
  EXPECT_EQ(player->count_substring(protocol::ARMED, from), 0);

  preload_ready(clip("green.mp4"));
  from = player->line_count();
  player->send(protocol::CMD_SWITCH_AT_END);
  expect_line(protocol::ARMED, from);
  player->send(protocol::CMD_SWITCH);
  int disarmed = expect_line(protocol::DISARMED, from);
  expect_line(protocol::SWITCH_DONE, disarmed);
  EXPECT_TRUE(display.wait_for_colour(GREEN, 10)) << dump();
  // The green file ends as any file does: no armed switch is left to fire.
  int end = expect_line(protocol::END_OF_VIDEO, from, 15);
  ASSERT_GE(end, 0);
  EXPECT_EQ(player->count_substring(protocol::ARMED_SWITCH_TAKEN, from), 0);
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
  EXPECT_EQ(player->count_exact(protocol::REBUILD_AT_END, from), 1) << dump();
  int eos = expect_line(protocol::REBUILD_AT_EOS, from, 15);
  int reset = expect_line(protocol::RESET, eos);
  expect_line(protocol::PLAYING, reset);
  EXPECT_TRUE(display.wait_for_colour(NAVY, 10)) << dump();
  EXPECT_EQ(player->count_substring(protocol::ARMED_SWITCH_TAKEN, from), 0);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
