// Switching at the moments that used to end the player or lose a command:
// while paused, right behind a video command, after a preload refused for
// its video.
#include <chrono>

#include "e2e_helpers.h"

namespace {

class SwitchMoments : public PlayerE2E {
 protected:
  // Preloads and switches in the same write as the answer to "Preload complete".
  void prompt_switch(const std::string& file) {
    int done = player->count_exact(protocol::SWITCH_DONE);
    player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH);
    player->send(protocol::CMD_PRELOAD + clip(file));
    ASSERT_TRUE(player->wait_for_count(protocol::SWITCH_DONE, done + 1, EVENT_TIMEOUT)) << file << "\n" << dump();
  }
};

}  // namespace

TEST_F(SwitchMoments, SwitchWhilePausedStaysPausedOnTheNewFile) {
  start_playing({clip("long.mp4")});
  prompt_switch("green.mp4");
  preload_ready(clip("blue.mp4"));
  size_t from = player->line_count();
  player->send(protocol::CMD_PAUSE);
  player->send(protocol::CMD_SWITCH);
  ASSERT_GE(player->wait_for_line(protocol::SWITCH_DONE, EVENT_TIMEOUT, from), 0) << dump();
  // The new file's first picture, standing still: no "playing" until asked.
  EXPECT_TRUE(display.wait_for_colour(BLUE, 10)) << dump();
  EXPECT_EQ(player->count_exact(protocol::PLAYING, from), 0) << dump();
  from = player->line_count();
  player->send(protocol::CMD_PLAY);
  ASSERT_GE(player->wait_for_line(protocol::PLAYING, EVENT_TIMEOUT, from), 0) << dump();
  EXPECT_GE(player->wait_for_line(protocol::END_OF_VIDEO, 15, from), 0) << dump();
  EXPECT_TRUE(player->running());
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(SwitchMoments, VideoInTheSameWriteAsAPreloadIsShown) {
  start_playing({clip("long.mp4")});
  size_t from = player->line_count();
  player->send_raw(protocol::CMD_PRELOAD + clip("blue.mp4") + "\n" + protocol::CMD_VIDEO + clip("yellow.mp4") + "\n");
  ASSERT_GE(player->wait_for_line(protocol::PRELOAD_COMPLETE, EVENT_TIMEOUT, from), 0) << dump();
  // Well past the preload's own linking: the video command's file stays.
  EXPECT_TRUE(display.wait_for_colour(YELLOW, 10)) << dump();
  sleep(1);
  EXPECT_TRUE(display.wait_for_colour(YELLOW, 1)) << dump();
  // And the preload is still there to switch to.
  player->send(protocol::CMD_SWITCH);
  ASSERT_GE(player->wait_for_line(protocol::SWITCH_DONE, EVENT_TIMEOUT, from), 0) << dump();
  EXPECT_TRUE(display.wait_for_colour(BLUE, 10)) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(SwitchMoments, PreloadRefusedForItsVideoAnswersAtOnce) {
  start_playing({clip("long.mp4")});
  for (int round = 0; round < 2; ++round) {
    size_t from = player->line_count();
    auto sent = std::chrono::steady_clock::now();
    player->send(protocol::CMD_PRELOAD + clip("hevc_aac.mp4"));
    ASSERT_GE(player->wait_for_line(protocol::PRELOAD_ERROR, EVENT_TIMEOUT, from), 0) << dump();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    // Its sound streamed to its end while the video was refused: stopping it
    // must not wait for the file on screen to end.
    EXPECT_LT(seconds, 2.0) << "round " << round << "\n" << dump();
    EXPECT_GE(player->count_substring(protocol::PRELOAD_FAILED, from), 1) << dump();
    wait_acknowledged(protocol::ACK_PRELOAD_ERROR, from);
  }
  prompt_switch("green.mp4");
  EXPECT_TRUE(display.wait_for_colour(GREEN, 10)) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
