// How often the aspect-ratio check runs ffprobe, and that a remembered ratio
// still gives the decision a fresh reading would.
#include <unistd.h>

#include <filesystem>

#include "e2e_helpers.h"
#include "support/standin_ffprobe.h"

namespace {

class RatioProbe : public PlayerE2E {
 protected:
  void start_counted(std::vector<std::string> args) {
    ASSERT_TRUE(ffprobe.ok()) << "no ffprobe on PATH";
    auto opts = player_options(display, std::move(args));
    opts.env.push_back({"PATH", ffprobe.path_variable()});
    player = std::make_unique<PlayerClient>();
    ASSERT_TRUE(player->start(opts));
    ASSERT_GE(player->wait_for_line(protocol::READY, STARTUP_TIMEOUT), 0) << dump();
    wait_started();
    play_and_wait_playing();
  }
  // The ffprobe runs from the n-th on, as "file:" inputs.
  std::vector<std::string> runs_from(size_t n) const {
    auto all = ffprobe.inputs();
    return std::vector<std::string>(all.begin() + std::min(n, all.size()), all.end());
  }
  static std::string input(const std::string& path) { return "file:" + path; }
  int count_from(const std::string& part, size_t from) { return player->count_substring(part, from); }

  // Notes the input of every run, then runs the real ffprobe.
  StandinFfprobe ffprobe{StandinFfprobe::Then::RunReal};
};

}  // namespace

// The file the pipeline was built with is probed at the first preload only;
// later preloads compare with its remembered ratio, and a different ratio
// still schedules the rebuild.
TEST_F(RatioProbe, LaterPreloadsProbeOnlyThePreloadedFile) {
  start_counted({clip("red.mp4")});
  size_t from = player->line_count();
  preload_ready(clip("green.mp4"));
  EXPECT_EQ(runs_from(0), (std::vector<std::string>{input(clip("green.mp4")), input(clip("red.mp4"))}));
  EXPECT_EQ(count_from(protocol::RATIO_CURRENT + clip("red.mp4"), from), 1) << dump();
  switch_to(GREEN);

  from = player->line_count();
  preload_ready(clip("blue.mp4"));
  EXPECT_EQ(runs_from(2), (std::vector<std::string>{input(clip("blue.mp4"))}));
  EXPECT_EQ(count_from(protocol::RATIO_CURRENT, from), 0) << dump();
  EXPECT_EQ(count_from(protocol::RATIO_SAME, from), 1) << dump();
  switch_to(BLUE);

  from = player->line_count();
  preload_ready(clip("square.mp4"));
  EXPECT_EQ(runs_from(3), (std::vector<std::string>{input(clip("square.mp4"))}));
  EXPECT_EQ(count_from("║  PIPELINE ATUAL: DAR = 1.778", from), 1) << dump();
  EXPECT_EQ(count_from("║  PRELOAD VIDEO:  DAR = 1.333", from), 1) << dump();
  EXPECT_EQ(count_from(protocol::REBUILD_AT_END, from), 1) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// A rebuild for the preloaded file makes that file the pipeline's: its ratio,
// read for the preload, serves the next check.
TEST_F(RatioProbe, AfterARebuildTheRebuiltFileIsNotProbedAgain) {
  start_counted({clip("red.mp4")});
  size_t from = player->line_count();
  player->send(protocol::CMD_PRELOAD + clip("square.mp4"));
  int reset = player->wait_for_line(protocol::RESET, EVENT_TIMEOUT, from);
  ASSERT_GE(reset, 0) << dump();
  ASSERT_GE(player->wait_for_line(protocol::PRELOAD_COMPLETE, EVENT_TIMEOUT, reset), 0) << dump();
  wait_acknowledged(protocol::ACK_PRELOAD_COMPLETE, from);
  EXPECT_TRUE(display.wait_for_colour(PURPLE, 10)) << dump();
  EXPECT_EQ(ffprobe.inputs().size(), 2u);
  from = player->line_count();
  player->send(protocol::CMD_SWITCH);  // taken by the rebuild
  ASSERT_GE(player->wait_for_line(protocol::SWITCH_IGNORED, EVENT_TIMEOUT, from), 0) << dump();

  from = player->line_count();
  preload_ready(clip("square2.mp4"));
  EXPECT_EQ(runs_from(2), (std::vector<std::string>{input(clip("square2.mp4"))}));
  EXPECT_EQ(count_from(protocol::RATIO_CURRENT, from), 0) << dump();
  EXPECT_EQ(count_from("║  PIPELINE ATUAL: DAR = 1.333", from), 1) << dump();
  EXPECT_EQ(count_from(protocol::RATIO_SAME, from), 1) << dump();
  switch_to(TEAL);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// A file replaced under the same path is another file: it is probed again.
TEST_F(RatioProbe, FileReplacedUnderItsPathIsProbedAgain) {
  std::string dir = ::testing::TempDir() + "ratio_probe_" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  std::string current = dir + "/current.mp4";
  std::filesystem::copy_file(clip("red.mp4"), current, std::filesystem::copy_options::overwrite_existing);
  start_counted({current});
  preload_ready(clip("green.mp4"));
  switch_to(GREEN);
  ASSERT_EQ(ffprobe.inputs().size(), 2u);

  // Replaced as a manager's download would: a new file renamed over the old.
  std::filesystem::copy_file(clip("square.mp4"), current + ".new");
  std::filesystem::rename(current + ".new", current);
  size_t from = player->line_count();
  preload_ready(clip("blue.mp4"));
  EXPECT_EQ(runs_from(2), (std::vector<std::string>{input(clip("blue.mp4")), input(current)}));
  EXPECT_EQ(count_from(protocol::RATIO_CURRENT + current, from), 1) << dump();
  EXPECT_EQ(count_from("║  PIPELINE ATUAL: DAR = 1.333", from), 1) << dump();
  EXPECT_EQ(count_from(protocol::REBUILD_AT_END, from), 1) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
  std::filesystem::remove_all(dir);
}

// A video command shows another file without rebuilding: the check still
// compares with the file the pipeline was built with, remembered or not.
TEST_F(RatioProbe, AfterAVideoCommandTheBuiltWithFileStillDecides) {
  start_counted({clip("red.mp4")});
  preload_ready(clip("green.mp4"));
  switch_to(GREEN);
  player->send(protocol::CMD_VIDEO + clip("square.mp4"));
  EXPECT_TRUE(display.wait_for_colour(PURPLE, 10)) << dump();

  size_t from = player->line_count();
  size_t runs_before = ffprobe.inputs().size();
  preload_ready(clip("square2.mp4"));
  EXPECT_EQ(runs_from(runs_before), (std::vector<std::string>{input(clip("square2.mp4"))}));
  EXPECT_EQ(count_from("║  PIPELINE ATUAL: DAR = 1.778", from), 1) << dump();
  EXPECT_EQ(count_from(protocol::REBUILD_AT_END, from), 1) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
