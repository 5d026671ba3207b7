// Switching as a manager that answers at once drives it: the switch goes out
// in the same write as the answer to "Preload complete". Listens to the sound
// server as well as looking at the screen.
#include <unistd.h>

#include "e2e_helpers.h"

namespace {

struct Clip {
  const char* file;
  double tone;  // 0: no sound
  Rgb colour;
};
const Clip STEREO{"green.mp4", TONE_STEREO, GREEN};
const Clip MONO{"mono.mp4", TONE_MONO, MAGENTA};
const Clip SURROUND{"surround.mp4", TONE_SURROUND, ORANGE};
const Clip SILENT{"silent.mp4", 0, CYAN};
const Clip STEREO2{"blue.mp4", TONE_STEREO, BLUE};

class PromptSwitching : public PlayerE2E {
 protected:
  void SetUp() override {
    sink = std::make_unique<SoundSink>();
    ASSERT_TRUE(sink->ok()) << "no sound server to listen to";
  }
  // Preloads and switches as soon as the preload is complete; returns once
  // the switch has run. Any refusal fails the test.
  void prompt_switch(const Clip& c) {
    size_t from = player->line_count();
    int done = player->count_exact(protocol::SWITCH_DONE);
    player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH);
    player->send(protocol::CMD_PRELOAD + clip(c.file));
    ASSERT_TRUE(player->wait_for_count(protocol::SWITCH_DONE, done + 1, EVENT_TIMEOUT)) << c.file << "\n" << dump();
    EXPECT_EQ(player->count_substring(protocol::SWITCH_ERROR, from), 0) << dump();
    EXPECT_EQ(player->count_substring(protocol::SWITCH_REJECTED, from), 0) << dump();
    EXPECT_EQ(player->count_exact(protocol::PRELOAD_ERROR, from), 0) << dump();
  }
  // What plays from a moment after the switch: the new file's tone, or nothing.
  void expect_heard(const Clip& c) {
    SoundSink::Heard h = listen_for(*sink, c.tone, 3);
    EXPECT_TRUE(heard(h, c.tone)) << c.file << ": rms " << h.rms << ", " << h.frequency << " Hz";
  }
};

}  // namespace

TEST_F(PromptSwitching, SoundFollowsThePictureAtEverySwitch) {
  start_playing({clip("long.mp4")});
  // The first switch (from the start-up file), then every kind of sound to every other.
  for (const Clip& c : {MONO, SURROUND, SILENT, STEREO, SILENT, MONO, STEREO2, SURROUND}) {
    prompt_switch(c);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(display.wait_for_colour(c.colour, 10)) << c.file << "\n" << dump();
    expect_heard(c);
  }
  EXPECT_TRUE(player->running());
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// The plain protocol at the end of each file: "end of video!" answered with
// "switch" in the same write. The sound device, stopped by the player once the
// old file's sound has played out, plays the new file's sound: every kind
// after every other, silence included.
TEST_F(PromptSwitching, SwitchOnEachEndIsSeenAndHeard) {
  start_playing({clip("red.mp4")});
  prompt_switch(STEREO);  // the start-up file's end is never reported
  if (HasFatalFailure()) return;
  for (const Clip& c : {MONO, SILENT, SURROUND, STEREO2}) {
    size_t on_screen = player->line_count();
    preload_ready(clip(c.file));
    if (HasFatalFailure()) return;
    player->answer_then(protocol::END_OF_VIDEO, protocol::CMD_SWITCH);
    int ended = player->wait_for_line(protocol::END_OF_VIDEO, 15, on_screen);
    ASSERT_GE(ended, 0) << c.file << "\n" << dump();
    ASSERT_GE(player->wait_for_line(protocol::SWITCH_DONE, EVENT_TIMEOUT, ended), 0) << c.file << "\n" << dump();
    EXPECT_EQ(player->count_exact(protocol::END_OF_VIDEO, on_screen), 1) << dump();
    EXPECT_TRUE(display.wait_for_colour(c.colour, 10)) << c.file << "\n" << dump();
    expect_heard(c);
  }
  EXPECT_TRUE(player->running());
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(PromptSwitching, ThreeHundredSwitchesThroughMixedFilesKeepCountsFlat) {
  start_playing({clip("red.mp4")});
  const Clip cycle[] = {STEREO, MONO, SURROUND, SILENT, STEREO2};
  const std::string proc = "/proc/" + std::to_string(player->pid());
  int fds0 = 0, threads0 = 0;
  constexpr int kSwitches = 300, kSettled = 20;
  for (int i = 0; i < kSwitches; ++i) {
    const Clip& c = cycle[i % 5];
    prompt_switch(c);
    if (HasFatalFailure()) return;
    if (i == kSettled) {
      fds0 = dir_entries(proc + "/fd");
      threads0 = dir_entries(proc + "/task");
    }
    if (i % 50 == 7) expect_heard(c);
  }
  int fds = dir_entries(proc + "/fd"), threads = dir_entries(proc + "/task");
  fprintf(stderr, "prompt soak: fds %d -> %d, threads %d -> %d\n", fds0, fds, threads0, threads);
  EXPECT_LE(fds, fds0 + 4);
  EXPECT_LE(threads, threads0 + 6);
  EXPECT_EQ(player->count_substring(protocol::CLEANUP_ERROR_TAG), 0) << dump();
  EXPECT_TRUE(player->running());
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(PromptSwitching, VideoCommandThenTwoSwitches) {
  start_playing({clip("long.mp4")});
  prompt_switch(STEREO);
  player->send(protocol::CMD_VIDEO + clip("yellow.mp4"));
  EXPECT_TRUE(display.wait_for_colour(YELLOW, 10)) << dump();
  size_t from = player->line_count();
  prompt_switch(MONO);
  EXPECT_TRUE(display.wait_for_colour(MAGENTA, 10)) << dump();
  expect_heard(MONO);
  // The cleanup of the branch that was on screen releases that branch, not the new one.
  EXPECT_GE(player->wait_for_line(protocol::CLEANUP_CLEAN, 10, from), 0) << dump();
  prompt_switch(SURROUND);
  EXPECT_TRUE(display.wait_for_colour(ORANGE, 10)) << dump();
  expect_heard(SURROUND);
  EXPECT_GE(player->wait_for_line(protocol::END_OF_VIDEO, 15, from), 0) << dump();
  EXPECT_TRUE(player->running());
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
