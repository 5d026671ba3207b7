// Bad input and stuck peers never take the screen down: broken files are
// refused while the file on screen plays on, a hung ffprobe is killed, a
// manager that stops reading ends the player instead of hanging it.
#include <unistd.h>

#include <fstream>

#include "e2e_helpers.h"
#include "support/standin_ffprobe.h"

namespace {

// Alive and not a zombie: a zombie has ended, its parent has not reaped it.
bool process_alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pid_text, name, state;
  if (!(stat >> pid_text >> name >> state)) return false;
  return state != "Z";
}

bool wait_gone(pid_t pid, double seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (!process_alive(pid)) return true;
    usleep(50000);
  }
  return !process_alive(pid);
}

class BadInput : public PlayerE2E {
 protected:
  void start_with_env(std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> env) {
    auto opts = player_options(display, std::move(args));
    for (auto& kv : env) opts.env.push_back(kv);
    player = std::make_unique<PlayerClient>();
    ASSERT_TRUE(player->start(opts));
    ASSERT_GE(player->wait_for_line(protocol::READY, STARTUP_TIMEOUT), 0) << dump();
    wait_started();
  }
};

}  // namespace

// Each broken file fails its preload with a line naming it; the file on
// screen plays on, and a good file is preloaded and switched to after them.
TEST_F(BadInput, BrokenFilesFailTheirPreloadWhileTheScreenPlaysOn) {
  start_playing({clip("long.mp4")});
  for (const char* name : {"empty.mp4", "truncated.mp4", "text.mp4", "random.mp4", "hevc.mp4", "mpeg4_part2.mp4",
                           "dir.mp4", "fifo.mp4"}) {
    SCOPED_TRACE(name);
    size_t from = player->line_count();
    player->send(protocol::CMD_PRELOAD + clip(name));
    ASSERT_GE(player->wait_for_line(protocol::PRELOAD_ERROR, EVENT_TIMEOUT, from), 0) << dump();
    EXPECT_GE(player->wait_for_substring(protocol::PRELOAD_FAILED + clip(name) + ": ", 1, from), 0) << dump();
    wait_acknowledged(protocol::ACK_PRELOAD_ERROR, from);
    EXPECT_TRUE(player->running());
    EXPECT_TRUE(display.wait_for_colour(GRAY, 5)) << dump();
  }
  preload_ready(clip("green.mp4"));
  switch_to(GREEN);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// The ratio is then unknown, as for a failed probe: the preload completes
// once the probe is killed, and the switch plays the file.
TEST_F(BadInput, HungFfprobeIsKilledAndThePreloadCompletes) {
  StandinFfprobe ffprobe(StandinFfprobe::Then::Hang);
  start_with_env({clip("red.mp4")}, {{"PATH", ffprobe.path_variable()}});
  play_and_wait_playing();
  size_t from = player->line_count();
  player->send(protocol::CMD_PRELOAD + clip("green.mp4"));
  ASSERT_GE(player->wait_for_line(protocol::PRELOAD_COMPLETE, EVENT_TIMEOUT, from), 0) << dump();
  EXPECT_GE(player->wait_for_substring("[AR FFPROBE] ffprobe gave no answer within ", 1, from), 0) << dump();
  wait_acknowledged(protocol::ACK_PRELOAD_COMPLETE, from);
  switch_to(GREEN);
  ASSERT_FALSE(ffprobe.pids().empty());
  for (pid_t pid : ffprobe.pids()) EXPECT_TRUE(wait_gone(pid, 10)) << "ffprobe " << pid << " still runs";
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// An exit while the probe hangs is not held up by it, and the probe dies too.
TEST_F(BadInput, ExitWhileFfprobeHangsIsPromptAndLeavesNoProbe) {
  StandinFfprobe ffprobe(StandinFfprobe::Then::Hang);
  start_with_env({clip("red.mp4")}, {{"PATH", ffprobe.path_variable()}});
  play_and_wait_playing();
  player->send(protocol::CMD_PRELOAD + clip("green.mp4"));
  for (int i = 0; i < 100 && ffprobe.pids().empty(); ++i) usleep(50000);
  ASSERT_FALSE(ffprobe.pids().empty()) << dump();
  auto status = player->stop(4);
  ASSERT_TRUE(status.has_value()) << dump();
  EXPECT_EQ(*status, 0) << dump();
  for (pid_t pid : ffprobe.pids()) EXPECT_TRUE(wait_gone(pid, 5)) << "ffprobe " << pid << " still runs";
}

// A manager that stops reading: the player does not hang for ever on its
// output, it ends with status 1 and says why on standard error.
TEST_F(BadInput, ManagerThatStopsReadingEndsThePlayer) {
  auto opts = player_options(display, {clip("long.mp4")});
  opts.stdout_pipe_bytes = 4096;
  opts.write_timeout_ms = 1000;
  player = std::make_unique<PlayerClient>();
  ASSERT_TRUE(player->start(opts));
  ASSERT_GE(player->wait_for_line(protocol::READY, STARTUP_TIMEOUT), 0) << dump();
  wait_started();
  pid_t pid = player->pid();
  {
    auto stuck = player->hold_output();
    for (int i = 0; i < 200 && process_alive(pid); ++i) {
      player->send(protocol::CMD_STATUS);
      usleep(20000);
    }
    EXPECT_TRUE(wait_gone(pid, 30)) << "the player hangs on its output";
  }
  auto status = player->wait_exit(10);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 1);
  EXPECT_NE(player->stderr_text().find("output not read for "), std::string::npos) << player->stderr_text();
}

// Start-up locations: an upper-case extension is still an MP4 file (the
// switching pipeline, which takes a preload), and a file played through
// playbin keeps the # and % of its name.
TEST_F(BadInput, StartupLocationsWithUpperCaseExtensionOrUnusualCharacters) {
  start({clip("UPPER.MP4")});
  wait_started();
  play_and_wait_playing();
  EXPECT_TRUE(display.wait_for_colour(GREEN, 10)) << dump();
  preload_ready(clip("red.mp4"));
  switch_to(RED);
  EXPECT_EQ(exit_and_wait(), 0) << dump();

  start({clip("hash#and%41.mov")});
  wait_started();
  play_and_wait_playing();
  EXPECT_TRUE(display.wait_for_colour(RED, 10)) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
