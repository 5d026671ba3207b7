// Sound where the operator wants it: a chosen ALSA device (here the ALSA
// pulse plug-in's "pulse:SINK", a null sink of the test's own, while the
// default goes to another), the level set at once and heard in the recorded
// sound, kept across a switch and a rebuild; a device that is not there.
#include <unistd.h>

#include <cmath>

#include "e2e_helpers.h"

namespace {

class SoundOutput : public PlayerE2E {
 protected:
  // Sets the level and waits for the player's line.
  void level(const std::string& args) {
    size_t from = player->line_count();
    player->send(protocol::CMD_AUDIO + args);
    ASSERT_GE(player->wait_for_substring(protocol::AUDIO_LEVEL, EVENT_TIMEOUT, from), 0) << dump();
  }
  // What the chosen sink plays, once the sound server's buffers hold only sound after the change.
  double rms_heard() {
    usleep(800 * 1000);
    return chosen->listen(1.0).rms;
  }
  std::unique_ptr<SoundSink> chosen;
};

}  // namespace

TEST_F(SoundOutput, ChosenDeviceCarriesTheSoundAtTheLevelSet) {
  sink = std::make_unique<SoundSink>();  // the default device's
  chosen = std::make_unique<SoundSink>();
  ASSERT_TRUE(sink->ok() && chosen->ok()) << "no sound server to listen to";
  start_playing({clip("long.mp4"), "--audio-device", "pulse:" + chosen->name()});
  EXPECT_EQ(player->count_substring("[AUDIO] Sound goes to the ALSA device pulse:" + chosen->name()), 1) << dump();
  SoundSink::Heard full = listen_for(*chosen, TONE_STEREO, 5);
  ASSERT_TRUE(heard_tone(full, TONE_STEREO)) << "rms " << full.rms << ", " << full.frequency << " Hz" << dump();
  EXPECT_TRUE(heard_silence(sink->listen(1.0))) << "the default device played too";

  level("0.5 0");
  double half = rms_heard();
  EXPECT_NEAR(half / full.rms, 0.5, 0.08) << half << " of " << full.rms;
  level("0.5 1");
  EXPECT_LT(rms_heard(), 0.02 * full.rms);
  level("0.25 0");
  double quarter = rms_heard();
  EXPECT_NEAR(quarter / full.rms, 0.25, 0.06);
  printf("[ figures ] rms at full level %.4f; at 0.5 %.3f of it, at 0.25 %.3f\n", full.rms, half / full.rms,
         quarter / full.rms);

  // Kept by a switch and by a rebuild for another picture shape.
  size_t from = player->line_count();
  player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH);
  player->send(protocol::CMD_PRELOAD + clip("green.mp4"));
  ASSERT_GE(player->wait_for_line(protocol::SWITCH_DONE, EVENT_TIMEOUT, from), 0) << dump();
  EXPECT_TRUE(display.wait_for_colour(GREEN, 10)) << dump();
  EXPECT_NEAR(rms_heard() / full.rms, 0.25, 0.06);
  from = player->line_count();
  player->send(protocol::CMD_PRELOAD + clip("square.mp4"));
  ASSERT_GE(player->wait_for_line(protocol::PRELOAD_COMPLETE, EVENT_TIMEOUT, from), 0) << dump();
  player->send(protocol::CMD_SWITCH);
  EXPECT_TRUE(display.wait_for_colour(PURPLE, 15)) << dump();
  EXPECT_NEAR(rms_heard() / full.rms, 0.25, 0.06);

  from = player->line_count();
  player->send(protocol::CMD_AUDIO + std::string("1.5 0"));
  EXPECT_GE(player->wait_for_substring(protocol::AUDIO_REFUSED, EVENT_TIMEOUT, from), 0) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// A device that is not there is said once; the picture plays on, switches
// and ends as ever, without sound. When the device comes, the pipeline is
// built again where the file on screen ends, and the sound plays into it.
TEST_F(SoundOutput, MissingDeviceIsSaidOnceThePicturePlaysOnAndTheSoundComesBack) {
  sink = std::make_unique<SoundSink>();
  ASSERT_TRUE(sink->ok()) << "no sound server to listen to";
  const std::string late = "test_late_sink_" + std::to_string(getpid());
  start_playing({clip("red.mp4"), "--audio-device", "pulse:" + late});
  EXPECT_EQ(player->count_substring("[AUDIO] ERROR: The sound device pulse:" + late + " cannot be used"), 1) << dump();
  EXPECT_TRUE(display.wait_for_colour(RED, 10)) << dump();
  size_t from = player->line_count();
  player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH_AT_END);
  player->send(protocol::CMD_PRELOAD + clip("long.mp4"));
  ASSERT_GE(player->wait_for_line(protocol::ARMED_SWITCH_TAKEN, EVENT_TIMEOUT, from), 0) << dump();
  EXPECT_TRUE(display.wait_for_colour(GRAY, 10)) << dump();
  EXPECT_TRUE(heard_silence(sink->listen(0.5)));
  EXPECT_EQ(player->count_substring("cannot be used"), 1) << dump();

  // The device comes; at the end of the file on screen the sound is back in it.
  chosen = std::make_unique<SoundSink>(late);
  ASSERT_TRUE(chosen->ok());
  from = player->line_count();
  EXPECT_GE(player->wait_for_substring("[AUDIO] The sound device pulse:" + late + " is back", 15, from), 0) << dump();
  player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH_AT_END);
  player->send(protocol::CMD_PRELOAD + clip("green.mp4"));
  int reset = player->wait_for_line(protocol::RESET, 30, from);
  ASSERT_GE(reset, 0) << dump();
  EXPECT_GE(player->wait_for_line(protocol::PLAYING, EVENT_TIMEOUT, reset), 0) << dump();
  EXPECT_TRUE(display.wait_for_colour(GREEN, 10)) << dump();
  SoundSink::Heard h = listen_for(*chosen, TONE_STEREO, 3);
  EXPECT_TRUE(heard_tone(h, TONE_STEREO)) << "rms " << h.rms << ", " << h.frequency << " Hz" << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
