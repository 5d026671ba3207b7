// The screen put to sleep and woken ("screen off" / "screen on", with the
// pipeline paused as a manager pauses it): on Xvfb, which has no DPMS, black
// is drawn and nothing more until it is woken; under sway the output's power
// is switched through the compositor and read back from it.
#include <fstream>

#include "e2e_helpers.h"

namespace {

const std::string SCREEN_OFF = std::string(protocol::CMD_SCREEN) + "off";
const std::string SCREEN_ON = std::string(protocol::CMD_SCREEN) + "on";

std::vector<std::string> trace_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}
size_t lines_in(const std::string& path) { return trace_lines(path).size(); }
// A trace line's time of the picture in its file.
unsigned long long pts_of(const std::string& line) {
  unsigned long long monotonic, clock, running, due, pts;
  return sscanf(line.c_str(), "%llu %llu %llu %llu %llu", &monotonic, &clock, &running, &due, &pts) == 5 ? pts : ~0ull;
}

bool all_black(const Screenshot& shot) {
  for (const Rgb& p : shot.pixels)
    if (!near_colour(p, BLACK, 8)) return false;
  return true;
}

class ScreenSleep : public PlayerE2E {
 protected:
  std::string trace = ::testing::TempDir() + "screen_sleep_trace_" + std::to_string(getpid());
  PlayerClient::Options options(std::vector<std::string> args) override {
    auto opts = PlayerE2E::options(std::move(args));
    opts.env.push_back({"VIDEO_PLAYER_FRAME_TRACE", trace});
    return opts;
  }
  void TearDown() override { unlink(trace.c_str()); }
};

}  // namespace

// Asleep, the whole screen is black and no picture is drawn, also through a
// switch made while asleep; why the display stays lit is said once. Woken, the
// new file's first picture shows, and playing draws again.
TEST_F(ScreenSleep, WithoutDpmsTheScreenIsBlackAndNothingIsDrawnUntilWoken) {
  unlink(trace.c_str());
  start_playing({clip("red.mp4"), "--no_sound"});
  ASSERT_TRUE(display.wait_for_colour(RED, 10)) << dump();
  for (int i = 0; i < 100 && lines_in(trace) < 10; ++i) usleep(100000);

  size_t from = player->line_count();
  player->send(std::string(protocol::CMD_PAUSE) + "\n" + SCREEN_OFF);
  ASSERT_GE(player->wait_for_substring(protocol::SCREEN_ASLEEP, EVENT_TIMEOUT, from), 0) << dump();
  EXPECT_EQ(player->count_substring(std::string(protocol::SCREEN_CANNOT_SLEEP) + "the X server has no DPMS extension)"), 1)
      << dump();
  ASSERT_TRUE(display.wait_for_colour(BLACK, 10)) << dump();
  auto shot = display.grab();
  ASSERT_TRUE(shot);
  EXPECT_TRUE(all_black(*shot));
  size_t drawn = lines_in(trace);
  EXPECT_GT(drawn, 0u);

  // A switch while asleep: its first picture is not shown.
  preload_ready(clip("green.mp4"));
  from = player->line_count();
  player->send(protocol::CMD_SWITCH);
  ASSERT_GE(player->wait_for_line(protocol::SWITCH_DONE, EVENT_TIMEOUT, from), 0) << dump();
  // Asleep again: said, but why only the first time.
  player->send(SCREEN_OFF);
  ASSERT_TRUE(player->wait_for_count(std::string(protocol::SCREEN_ASLEEP) + " - black is shown and nothing more is drawn", 2,
                                     EVENT_TIMEOUT))
      << dump();
  EXPECT_EQ(player->count_substring(protocol::SCREEN_CANNOT_SLEEP), 1) << dump();
  shot = display.grab();
  ASSERT_TRUE(shot);
  EXPECT_TRUE(all_black(*shot));
  EXPECT_EQ(lines_in(trace), drawn) << "pictures were drawn while the screen slept";

  from = player->line_count();
  player->send(SCREEN_ON);
  ASSERT_GE(player->wait_for_substring(protocol::SCREEN_AWAKE, EVENT_TIMEOUT, from), 0) << dump();
  EXPECT_TRUE(display.wait_for_colour(GREEN, 10)) << dump();
  auto after = trace_lines(trace);
  ASSERT_GT(after.size(), drawn);
  EXPECT_EQ(pts_of(after[drawn]), 0u) << "the woken screen shows the new file's first picture: " << after[drawn];
  play_and_wait_playing();
  for (int i = 0; i < 100 && lines_in(trace) < drawn + 10; ++i) usleep(100000);
  EXPECT_GE(lines_in(trace), drawn + 10) << "playing draws again";
  EXPECT_EQ(player->count_substring(protocol::SCREEN_REFUSED), 0) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// Under sway the player asks the compositor, through wlroots' output power
// management, to power its output off, and reads the answer back. sway's
// headless output cannot be switched off (its commit fails: "dpms" stays
// true, as sway's own "output * dpms off" leaves it), so the answer is that
// the output is still on: the player says so and the output shows black
// until it is woken.
TEST_F(ScreenSleep, SwayIsAskedForItsOutputsPowerAndTheOutputIsBlackUntilWoken) {
  WaylandServer server(WaylandServer::SWAY);
  if (!server.ok()) GTEST_SKIP() << server.why_not();
  auto opts = player_options(server, nullptr, {clip("yellow.mp4"), "--no_sound"});
  player = std::make_unique<PlayerClient>();
  ASSERT_TRUE(player->start(opts));
  wait_started();
  play_and_wait_playing();
  auto outputs = [&]() -> std::string {
    std::string cmd =
        "SWAYSOCK=$(ls '" + server.runtime_dir() + "'/sway-ipc.*.sock | head -1) timeout 10 swaymsg -r -t get_outputs";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (p) pclose(p);
    return out;
  };
  auto shows = [&](const Rgb& c) -> std::optional<Screenshot> {
    for (int i = 0; i < 100; ++i, usleep(100000))
      if (auto s = server.screenshot(); s && near_colour(s->at(640, 360), c)) return s;
    return std::nullopt;
  };
  ASSERT_TRUE(shows(YELLOW)) << dump();

  size_t from = player->line_count();
  player->send(std::string(protocol::CMD_PAUSE) + "\n" + SCREEN_OFF);
  ASSERT_GE(player->wait_for_substring(protocol::SCREEN_ASLEEP, EVENT_TIMEOUT, from), 0) << dump();
  EXPECT_EQ(player->count_substring(std::string(protocol::SCREEN_CANNOT_SLEEP) + "0 of 1 outputs off after a second: on)",
                                    from),
            1)
      << dump();
  EXPECT_NE(outputs().find("\"dpms\": true"), std::string::npos) << outputs();
  auto shot = shows(BLACK);
  ASSERT_TRUE(shot) << dump();
  EXPECT_TRUE(all_black(*shot));

  from = player->line_count();
  player->send(SCREEN_ON + "\n" + protocol::CMD_PLAY);
  EXPECT_GE(player->wait_for_line(std::string(protocol::SCREEN_AWAKE) +
                                      " - the compositor's output power management has it on",
                                  EVENT_TIMEOUT, from),
            0)
      << dump();
  EXPECT_TRUE(shows(YELLOW)) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
