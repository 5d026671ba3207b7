// Complete rebuilds of the pipeline, seen from the manager's side.
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "e2e_helpers.h"

namespace {

class Rebuild : public PlayerE2E {
 protected:
  std::string trace;  // when set, the player records there every picture it draws
  PlayerClient::Options options(std::vector<std::string> args) override {
    auto opts = PlayerE2E::options(std::move(args));
    if (!trace.empty()) opts.env.push_back({"VIDEO_PLAYER_FRAME_TRACE", trace});
    return opts;
  }
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

// A change to another picture shape where a file ends, and back, is made
// ready behind the file on screen: at each, the old file's last picture
// (3.96 s into its 4 s) and the new file's first are both drawn, due one
// frame apart on the clock, with no picture lost or shown twice between
// them; the events are those of a rebuild at the end.
TEST_F(Rebuild, ShapeChangeWhereAFileEndsIsMadeReadyAndLosesNoPicture) {
  trace = ::testing::TempDir() + "rebuild-trace-" + std::to_string(getpid());
  unlink(trace.c_str());
  start_playing({clip("red.mp4")});
  preload_ready(clip("green.mp4"));
  switch_to(GREEN);
  for (const char* file : {"square.mp4", "blue.mp4"}) {
    size_t from = player->line_count();
    player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH_AT_END);
    player->send(protocol::CMD_PRELOAD + clip(file));
    EXPECT_GE(player->wait_for_substring("[RESTART] 🎬 Preparing the rebuild for", EVENT_TIMEOUT, from), 0) << dump();
    int end = expect_line(protocol::END_OF_VIDEO, from);
    int reset = expect_line(protocol::RESET, end);
    expect_line(protocol::PLAYING, reset);
  }
  EXPECT_TRUE(display.wait_for_colour(BLUE, 10)) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();

  struct Picture {
    unsigned long long due, pts;
  };
  std::vector<Picture> drawn;
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    unsigned long long mono, clock, running, due, pts;
    if (f >> mono >> clock >> running >> due >> pts) drawn.push_back({due, pts});
  }
  unlink(trace.c_str());
  // Within a file the sink may drop a picture drawn too late on a busy
  // machine, as it would anywhere; none is ever drawn twice or out of order.
  int changes = 0;
  for (size_t i = 1; i < drawn.size(); ++i) {
    if (drawn[i].pts >= drawn[i - 1].pts) {
      unsigned long long step = drawn[i].pts - drawn[i - 1].pts;
      EXPECT_TRUE(step > 0 && step % 40000000ULL == 0) << "a picture twice or out of step at " << i << ": " << step;
      continue;
    }
    if (++changes == 1) continue;  // red to green: a plain switch, not timed
    EXPECT_EQ(drawn[i - 1].pts, 3960000000ULL) << "the old file's last picture, change " << changes;
    EXPECT_EQ(drawn[i].pts, 0ULL) << "change " << changes;
    long long apart = static_cast<long long>(drawn[i].due) - static_cast<long long>(drawn[i - 1].due);
    EXPECT_LE(std::llabs(apart - 40000000LL), 1000000LL) << "change " << changes << ": due " << apart << " ns apart" << dump();
  }
  EXPECT_EQ(changes, 3);
}
