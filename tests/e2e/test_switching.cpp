// Preload and switch as the manager drives them, with the real binary.
#include <unistd.h>

#include <chrono>

#include "e2e_helpers.h"

namespace {

class Switching : public PlayerE2E {
 protected:
  int delivered(const std::string& ack) {
    return player->count_substring(protocol::ACK_TAKEN + ack + protocol::ACK_TAKEN_END);
  }
};

}  // namespace

TEST_F(Switching, ManagerCycleReportsEveryEndOnce) {
  start_playing({clip("red.mp4")});
  ASSERT_TRUE(display.wait_for_colour(RED, 10));

  struct Step {
    const char* file;
    Rgb colour;
  };
  const Step steps[] = {{"green.mp4", GREEN},  {"blue.mp4", BLUE},       {"silent.mp4", CYAN},
                        {"mono.mp4", MAGENTA}, {"surround.mp4", ORANGE}, {"yellow.mp4", YELLOW},
                        {"silent.mp4", CYAN},  {"white.mp4", WHITE}};
  int ends = 0;
  bool first = true;
  for (const Step& s : steps) {
    preload_ready(clip(s.file));
    if (!first) {
      ASSERT_TRUE(player->wait_for_count(protocol::END_OF_VIDEO, 1, EVENT_TIMEOUT, player->line_count() > 0 ? 0 : 0));
      // Wait for this file's end: one more delivered "end of video!" than before.
      for (int i = 0; i < 300 && delivered(protocol::ACK_END) < ends + 1; ++i) usleep(100000);
      ASSERT_EQ(delivered(protocol::ACK_END), ends + 1) << s.file << dump();
      ++ends;
    }
    switch_to(s.colour);
    if (HasFatalFailure()) return;
    first = false;
  }
  for (int i = 0; i < 300 && delivered(protocol::ACK_END) < ends + 1; ++i) usleep(100000);
  EXPECT_EQ(delivered(protocol::ACK_END), ends + 1) << dump();
  usleep(1500000);
  EXPECT_EQ(delivered(protocol::ACK_END), ends + 1) << dump();
  EXPECT_TRUE(player->running());
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(Switching, ReadyPreloadStaysOffScreen) {
  start_playing({clip("long.mp4")});
  ASSERT_TRUE(display.wait_for_colour(GRAY, 10)) << dump();
  preload_ready(clip("green.mp4"));
  // The preloaded file streams through its branch meanwhile; none of it shows.
  for (int i = 0; i < 15; ++i) {
    auto px = display.pixel();
    ASSERT_TRUE(px.has_value());
    EXPECT_TRUE(near_colour(*px, GRAY)) << "frame of the preloaded file on screen";
    usleep(200000);
  }
  switch_to(GREEN);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// A file that plays for a while and then breaks while on screen is the file
// on screen's error: the player shows it, then ends with its demuxer's
// error, which a manager reads to blame that file. (A preloaded file is read
// through while it waits, so a break is mostly found before it is shown.)
TEST_F(Switching, FileThatBreaksOnScreenEndsThePlayerWithItsError) {
  start_playing({clip("breaks_late.mp4")});
  ASSERT_TRUE(display.wait_for_colour(GREEN, 10)) << dump();
  auto shown = std::chrono::steady_clock::now();
  auto status = player->wait_exit(60);
  ASSERT_TRUE(status.has_value()) << dump();
  EXPECT_EQ(*status, 1) << dump();
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - shown).count(), 2.0)
      << "it broke before it had played: " << dump();
  EXPECT_GE(player->wait_for_substring("/GstQTDemux:demux0", 0), 0) << dump();
  EXPECT_GE(player->wait_for_substring(protocol::BUS_ERROR, 0), 0) << dump();
}
