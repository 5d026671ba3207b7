// Complete rebuilds of the pipeline, seen from the manager's side.
#include <unistd.h>

#include <fstream>

#include "e2e_helpers.h"

namespace {

class Rebuild : public PlayerE2E {
 protected:
  // Index of the first exact line at or after `from`, waiting for it.
  int expect_line(const std::string& line, size_t from, double timeout = EVENT_TIMEOUT) {
    int at = player->wait_for_line(line, timeout, from);
    EXPECT_GE(at, 0) << line << dump();
    return at;
  }
};

}  // namespace

TEST_F(Rebuild, AspectRatioChangeRebuildsForThePreload) {
  start_playing({clip("red.mp4")});
  size_t from = player->line_count();
  player->send(protocol::CMD_PRELOAD + clip("square.mp4"));
  int reset = expect_line(protocol::RESET, from);
  ASSERT_GE(reset, 0);
  // No "Preload complete" before the rebuild.
  for (int i = static_cast<int>(from); i < reset; ++i) EXPECT_NE(player->line(i), protocol::PRELOAD_COMPLETE);
  EXPECT_EQ(player->count_substring(protocol::REBUILD_NOW_FIRST, from), 1);
  int playing = expect_line(protocol::PLAYING, reset + 1);
  int complete = expect_line(protocol::PRELOAD_COMPLETE, playing + 1);
  int playing2 = expect_line(protocol::PLAYING, complete + 1);
  ASSERT_GE(playing2, 0);
  EXPECT_EQ(player->count_exact(protocol::END_OF_VIDEO, from), 0);
  EXPECT_TRUE(display.wait_for_colour(PURPLE, 10)) << dump();
  wait_acknowledged(protocol::ACK_PRELOAD_COMPLETE, from);

  from = player->line_count();
  player->send(protocol::CMD_SWITCH);
  expect_line(protocol::SWITCH_IGNORED, from);
  // The next preload of the same ratio completes normally and the switch works.
  preload_ready(clip("square2.mp4"));
  switch_to(TEAL);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(Rebuild, PreloadFromTheIdlePictureRebuildsForTheClip) {
  start_playing({});
  size_t from = player->line_count();
  player->send(protocol::CMD_PRELOAD + clip("green.mp4"));
  int reset = expect_line(protocol::RESET, from);
  int playing = expect_line(protocol::PLAYING, reset + 1);
  expect_line(protocol::PRELOAD_COMPLETE, playing + 1);
  EXPECT_TRUE(display.wait_for_colour(GREEN, 10)) << dump();
  // The clip's end is now reported.
  expect_line(protocol::END_OF_VIDEO, playing + 1);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(Rebuild, ScheduledRatioRebuildPlaysASilentFile) {
  start_playing({clip("red.mp4")});
  preload_ready(clip("green.mp4"));
  switch_to(GREEN);

  // A different ratio after a normal completion: rebuilt when the green file ends.
  size_t from = player->line_count();
  player->send(protocol::CMD_PRELOAD + clip("silent_square.mp4"));
  int complete = expect_line(protocol::PRELOAD_COMPLETE, from);
  ASSERT_GE(complete, 0);
  EXPECT_EQ(player->count_exact(protocol::REBUILD_AT_END, from), 1) << dump();
  int eos = expect_line(protocol::REBUILD_AT_EOS, complete);
  int end = expect_line(protocol::END_OF_VIDEO, eos);
  int reset = expect_line(protocol::RESET, end);
  expect_line(protocol::PLAYING, reset);
  EXPECT_TRUE(display.wait_for_colour(NAVY, 10)) << dump();
  // The silent file plays to its end, which is reported too.
  expect_line(protocol::END_OF_VIDEO, reset);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(PlayerE2E, MemoryGuardEndsWithStatus2AboveTheThreshold) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  std::string fake = ::testing::TempDir() + "meminfo_high";
  {
    std::ofstream out(fake);
    out << "MemTotal:       16000000 kB\nShmemHugePages:   9999999 kB\nShmem:           2764801 kB\n";
  }
  auto opts = player_options(display, {clip("long.mp4")});
  opts.command_prefix = {"unshare", "-m", "sh", "-c", "mount --bind \"$0\" /proc/meminfo && exec \"$@\"", fake};
  player = std::make_unique<PlayerClient>();
  ASSERT_TRUE(player->start(opts));
  auto status = player->wait_exit(90);
  ASSERT_TRUE(status.has_value()) << dump();
  EXPECT_EQ(*status, 2) << dump();
  EXPECT_GE(player->wait_for_line(
                "[SHMEM] ⚠️ CRITICAL: High memory detected: 2764801 KB (2.6 GB) > threshold 2764800 KB", 1),
            0)
      << dump();
}

TEST_F(Rebuild, MonoFileAfterARebuildPlaysThrough) {
  start_playing({});
  size_t from = player->line_count();
  player->send(protocol::CMD_PRELOAD + clip("green.mp4"));
  int reset = expect_line(protocol::RESET, from);
  expect_line(protocol::PRELOAD_COMPLETE, reset);
  wait_acknowledged(protocol::ACK_PRELOAD_COMPLETE, reset);
  from = player->line_count();
  player->send(protocol::CMD_SWITCH);  // consumed by the rebuild
  expect_line(protocol::SWITCH_IGNORED, from);
  preload_ready(clip("mono.mp4"));
  from = player->line_count();
  switch_to(MAGENTA);
  expect_line(protocol::END_OF_VIDEO, from);
  EXPECT_EQ(player->count_substring(protocol::BUS_ERROR), 0) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
