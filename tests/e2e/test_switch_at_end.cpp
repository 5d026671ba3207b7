// The switch armed in advance with switch_at_end, driven by a prompt manager
// that arms it in the same write as its answer to "Preload complete".
#include <chrono>
#include <iterator>
#include <mutex>

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
// switch is written after an end. Files without sound among them, as
// playlists have them: a silent file's end may reach its selector after the
// change, where it must not hold the switch (and the player's loop) up.
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
  const Step steps[] = {{"blue.mp4", BLUE, TONE_STEREO},  {"mono.mp4", MAGENTA, TONE_MONO},
                        {"silent.mp4", CYAN, 0},           {"green.mp4", GREEN, TONE_STEREO},
                        {"silent.mp4", CYAN, 0},           {"blue.mp4", BLUE, TONE_STEREO},
                        {"silent.mp4", CYAN, 0},           {"mono.mp4", MAGENTA, TONE_MONO}};
  for (const Step& step : steps) {
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
  // The first green and every step: one end each.
  const int n = static_cast<int>(std::size(steps));
  EXPECT_EQ(player->count_exact(protocol::END_OF_VIDEO, from), n + 1) << dump();
  EXPECT_EQ(player->count_substring(protocol::COMMAND_TAKEN + std::string(protocol::CMD_SWITCH_AT_END), from), n);
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

// A file whose sound ends a second before its picture, or a second after it,
// ends with the longer of the two, whether the switch is armed or sent on its
// end: its last picture stays on screen to the end, the next file does not
// cut it at the end of the shorter stream, and its end is reported once.
TEST_F(SwitchAtEnd, SoundAndPictureEndingApartEndTheFileWithTheLongerOne) {
  using Clock = std::chrono::steady_clock;
  std::mutex times_lock;
  std::vector<std::pair<std::string, Clock::time_point>> times;
  start_playing({clip("red.mp4")});
  player->set_line_handler([&](const std::string& l) {
    if (l == protocol::SWITCH_SEEK || l == protocol::END_OF_VIDEO) {
      std::lock_guard<std::mutex> lock(times_lock);
      times.emplace_back(l, Clock::now());
    }
  });
  // The handler runs just after a waiter sees the line: wait for its time too.
  auto time_of = [&](const std::string& line, Clock::time_point after) {
    for (int i = 0; i < 200; ++i) {
      {
        std::lock_guard<std::mutex> lock(times_lock);
        for (auto& [text, at] : times)
          if (text == line && at > after) return at;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return after;
  };
  struct Step {
    const char* file;
    Rgb colour;
    bool armed;  // how it ends: an armed switch, or a switch sent on its end
  };
  // Every switch but the first comes at an end, so that the two kinds of end
  // also meet each other's leftovers (the flushed outputs of a switch after
  // an end, the ended streams a hand-over never shows the sinks).
  const std::vector<Step> steps = {{"sound_ends_first.mp4", WHITE, true},
                                   {"sound_ends_last.mp4", YELLOW, true},
                                   {"sound_ends_first.mp4", WHITE, false},
                                   {"silent.mp4", CYAN, false},  // no sound at all: its sound ends at once
                                   {"sound_ends_last.mp4", YELLOW, false},
                                   {"green.mp4", GREEN, false}};
  size_t from = player->line_count();
  Clock::time_point asked = Clock::now();
  player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH);
  player->send(protocol::CMD_PRELOAD + clip(steps[0].file));
  ASSERT_GE(player->wait_for_line(protocol::SWITCH_DONE, EVENT_TIMEOUT, from), 0) << dump();
  for (size_t i = 0; i + 1 < steps.size(); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE(std::string(s.file) + (s.armed ? " ending with an armed switch" : " ending with a switch on its end"));
    Clock::time_point shown = time_of(protocol::SWITCH_SEEK, asked);
    ASSERT_TRUE(display.wait_for_colour(s.colour, 5)) << dump();
    size_t on_screen = player->line_count();
    if (s.armed) {
      preload_and_arm(steps[i + 1].file);
    } else {
      preload_ready(clip(steps[i + 1].file));
      player->answer_then(protocol::END_OF_VIDEO, protocol::CMD_SWITCH);
    }
    // Past the shorter stream's end, the file's last picture is still there.
    std::this_thread::sleep_until(shown + std::chrono::milliseconds(3400));
    EXPECT_TRUE(near_colour(display.pixel().value_or(BLACK), s.colour)) << dump();
    int ended = expect_line(protocol::END_OF_VIDEO, on_screen, 15);
    ASSERT_GE(ended, 0);
    double after = std::chrono::duration<double>(time_of(protocol::END_OF_VIDEO, shown) - shown).count();
    EXPECT_GE(after, 3.8) << "the end came with the shorter stream" << dump();
    asked = time_of(protocol::END_OF_VIDEO, shown);
    ASSERT_GE(expect_line(protocol::SWITCH_DONE, ended), 0);
    EXPECT_EQ(player->count_exact(protocol::END_OF_VIDEO, on_screen), 1) << dump();
  }
  EXPECT_TRUE(display.wait_for_colour(GREEN, 5)) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
