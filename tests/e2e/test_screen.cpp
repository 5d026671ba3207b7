// The picture fills the screen, is turned for a turned screen, and one window
// of the player's own stays on screen through a rebuild of the pipeline.
#include "e2e_helpers.h"

namespace {

const Rgb PINK{255, 128, 192};  // no clip has it: the root window's colour

struct Spot {
  int x, y;
  Rgb colour;
};

void expect_spots_in(const Screenshot& shot, const std::vector<Spot>& spots) {
  for (const auto& s : spots) {
    const Rgb& got = shot.at(s.x, s.y);
    EXPECT_TRUE(near_colour(got, s.colour)) << "at " << s.x << "," << s.y << ": " << got.r << " " << got.g << " "
                                            << got.b;
  }
}

// A 16:9 picture to the corners of the 16:9 screen.
std::vector<Spot> filled(const Rgb& c) { return {{640, 360, c}, {2, 2, c}, {1277, 2, c}, {2, 717, c}, {1277, 717, c}}; }
// A 4:3 navy picture between black bars.
const std::vector<Spot> NAVY_BETWEEN_BARS = {
    {640, 360, NAVY}, {80, 360, BLACK}, {1200, 360, BLACK}, {170, 360, NAVY}, {1110, 700, NAVY}};

class Screen : public PlayerE2E {
 protected:
  void expect_spots(const std::vector<Spot>& spots) {
    // The first frame may still be on its way.
    ASSERT_TRUE(display.wait_for_colour(spots[0].colour, 10, spots[0].x, spots[0].y)) << dump();
    auto shot = display.grab();
    ASSERT_TRUE(shot);
    expect_spots_in(*shot, spots);
  }
  // The window id that the player says it opened.
  unsigned long logged_window() {
    int at = player->wait_for_substring(protocol::SCREEN_WINDOW, 5);
    if (at < 0) return 0;
    return std::stoul(player->line(at).substr(strlen(protocol::SCREEN_WINDOW)), nullptr, 16);
  }
};

}  // namespace

// A 16:9 clip covers the 16:9 screen to its corners; a 4:3 file then gets
// black bars at both sides. The rebuild for the new shape draws into the same
// window, and the screen shows the old picture, black or the new one all
// through it, never what is behind the window.
TEST_F(Screen, PictureFillsTheScreenAndARebuildKeepsTheWindow) {
  display.set_background(PINK);
  start_playing({clip("red.mp4"), "--no_sound"});
  expect_spots(filled(RED));
  unsigned long window = logged_window();
  ASSERT_NE(window, 0u) << dump();
  EXPECT_EQ(display.top_windows(), std::vector<unsigned long>{window});

  ScreenWatcher watcher(display, {{640, 360}, {80, 360}, {1200, 100}}, PINK);
  size_t from = player->line_count();
  player->send(protocol::CMD_PRELOAD + clip("silent_square.mp4"));
  ASSERT_GE(player->wait_for_line(protocol::RESET, EVENT_TIMEOUT, from), 0) << dump();
  ASSERT_GE(player->wait_for_line(protocol::PRELOAD_COMPLETE, EVENT_TIMEOUT, from), 0) << dump();
  expect_spots(NAVY_BETWEEN_BARS);
  watcher.finish();
  EXPECT_GT(watcher.samples(), 100);
  EXPECT_EQ(watcher.seen(), 0) << "the root window showed through the rebuild";
  EXPECT_EQ(display.top_windows(), std::vector<unsigned long>{window});
  char id[32];
  snprintf(id, sizeof id, "0x%lx", window);
  EXPECT_EQ(player->count_exact(protocol::SCREEN_DRAWS_INTO + std::string(id), 0), 2) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// Quarters red, lime / blue, yellow, turned for a portrait screen: a quarter
// turn clockwise and one back. The picture stands upright between black bars.
TEST_F(Screen, RotationTurnsThePictureOnTheGpu) {
  struct Case {
    const char* rotate;
    Rgb top_left, top_right, bottom_left, bottom_right;
  };
  for (const Case& c : {Case{"90", BLUE, RED, YELLOW, GREEN}, Case{"270", GREEN, YELLOW, RED, BLUE}}) {
    SCOPED_TRACE(c.rotate);
    start_playing({clip("quarters.mp4"), "--rotate", c.rotate});
    // 180x320 scaled to 405x720 in the middle of the screen.
    expect_spots({{540, 180, c.top_left}, {740, 180, c.top_right}, {540, 540, c.bottom_left},
                  {740, 540, c.bottom_right}, {200, 360, BLACK}, {1080, 360, BLACK}});
    EXPECT_EQ(exit_and_wait(), 0) << dump();
  }
}

// A window manager that gives the player's window another size: the picture
// fills what it was given, scaled, not cut.
TEST_F(Screen, PictureFollowsTheWindowsSize) {
  display.set_background(PINK);
  start_playing({clip("quarters.mp4"), "--no_sound"});
  expect_spots({{320, 180, RED}, {960, 180, GREEN}});
  unsigned long window = logged_window();
  ASSERT_NE(window, 0u) << dump();
  ASSERT_TRUE(display.resize_window(window, 640, 360));
  expect_spots({{480, 90, GREEN}, {160, 90, RED}, {160, 270, BLUE}, {480, 270, YELLOW}, {900, 500, PINK}});
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// For development: the sink's own window, of the clip's size, at the top left.
TEST_F(Screen, WindowOptionKeepsAWindowOfTheClipsSize) {
  display.set_background(PINK);
  start_playing({clip("red.mp4"), "--window"});
  expect_spots({{40, 40, RED}, {640, 360, PINK}});
  EXPECT_EQ(player->count_substring(protocol::SCREEN_DRAWS_INTO), 0);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// On Wayland, under weston's desktop and kiosk shells and under sway, read
// back through the compositor. One player with sound walks through every way
// of switching as a prompt manager drives it: a switch in the same write as
// the answer to "Preload complete", the switch armed for the end, a switch in
// the same write as the answer to the end; then a 4:3 file, whose rebuild
// draws into the same window without the compositor's background showing.
// Each file fills the output and is heard. A player given the screen's
// option before its file turns the picture.
class ScreenWayland : public PlayerE2E, public ::testing::WithParamInterface<WaylandServer::Kind> {
 protected:
  struct Clip {
    const char* file;
    Rgb colour;
    double tone;  // 0: silent
  };
  void SetUp() override {
    server = std::make_unique<WaylandServer>(GetParam());
    if (!server->ok()) GTEST_SKIP() << server->why_not();
    sink = std::make_unique<SoundSink>();
    ASSERT_TRUE(sink->ok()) << "no sound server to listen to";
  }
  PlayerClient::Options options(std::vector<std::string> args) override {
    return player_options(*server, sink.get(), std::move(args));
  }
  // The output once it shows the first spot's colour, read at every spot.
  void expect_output(const std::vector<Spot>& spots) {
    std::optional<Screenshot> shot;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
      shot = server->screenshot();
      if (shot && near_colour(shot->at(spots[0].x, spots[0].y), spots[0].colour)) break;
    }
    ASSERT_TRUE(shot) << "no screenshot of " << server->name();
    expect_spots_in(*shot, spots);
  }
  // Sends `command` in the same write as the answer to the next `event`
  // (after sending `first`), and waits until the clip is on, seen and heard.
  void switch_on(const char* event, const char* command, const Clip& c, const std::string& first = "") {
    SCOPED_TRACE(c.file);
    int done = player->count_exact(protocol::SWITCH_DONE);
    player->answer_then(event, command);
    if (!first.empty()) player->send(first);
    ASSERT_TRUE(player->wait_for_count(protocol::SWITCH_DONE, done + 1, EVENT_TIMEOUT)) << dump();
    expect_output(filled(c.colour));
    SoundSink::Heard h = listen_for(*sink, c.tone, 3);
    EXPECT_TRUE(heard(h, c.tone)) << "rms " << h.rms << ", " << h.frequency << " Hz";
  }
  void expect_clean_exit() {
    EXPECT_EQ(player->count_substring(protocol::SCREEN_ERROR), 0) << dump();
    EXPECT_EQ(player->count_substring(protocol::SWITCH_REJECTED) + player->count_substring(protocol::SWITCH_ERROR), 0)
        << dump();
    EXPECT_EQ(exit_and_wait(), 0) << dump();
  }
  std::unique_ptr<WaylandServer> server;
};

TEST_P(ScreenWayland, EveryKindOfSwitchFillsTheOutput) {
  SCOPED_TRACE(server->name());
  // A quarter turn clockwise, the option before the file: the quarters red,
  // lime / blue, yellow stand upright between black bars.
  start_playing({"--rotate", "90", clip("quarters.mp4")});
  expect_output({{540, 180, BLUE}, {740, 180, RED}, {540, 540, YELLOW}, {740, 540, GREEN}, {200, 360, BLACK},
                 {1080, 360, BLACK}});
  expect_clean_exit();

  start_playing({clip("yellow.mp4")});
  EXPECT_GE(player->wait_for_substring(protocol::SCREEN_WAYLAND + std::string("full-screen window 1280x720"), 0), 0);
  expect_output(filled(YELLOW));
  for (const Clip& c : {Clip{"mono.mp4", MAGENTA, TONE_MONO}, Clip{"surround.mp4", ORANGE, TONE_SURROUND}})
    switch_on(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH, c, protocol::CMD_PRELOAD + clip(c.file));
  size_t from = player->line_count();
  switch_on(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH_AT_END, {"green.mp4", GREEN, TONE_STEREO},
            protocol::CMD_PRELOAD + clip("green.mp4"));
  EXPECT_GE(player->wait_for_line(protocol::ARMED_SWITCH_TAKEN, 0, from), 0) << dump();
  // The end of the file the armed switch left, answered, comes before the next.
  ASSERT_GE(player->wait_for_substring(protocol::ACK_TAKEN + std::string(protocol::ACK_END), EVENT_TIMEOUT, from), 0);
  from = player->line_count();
  preload_ready(clip("silent.mp4"));
  switch_on(protocol::END_OF_VIDEO, protocol::CMD_SWITCH, {"silent.mp4", CYAN, 0});
  int end = player->wait_for_line(protocol::END_OF_VIDEO, 0, from);
  ASSERT_GE(end, 0);
  EXPECT_GE(player->wait_for_line(protocol::SWITCH_RECEIVED, 0, end), 0) << dump();

  // Another shape: a rebuild, into the same window.
  from = player->line_count();
  player->send(protocol::CMD_PRELOAD + clip("silent_square.mp4"));
  // Read until the rebuild has played, five times at least however slow a screenshot is.
  int shots = 0, background = 0;
  for (int tries = 0; tries < 200 && (player->wait_for_line(protocol::PLAYING, 0, from) < 0 || shots < 5); ++tries) {
    if (auto s = server->screenshot()) {
      ++shots;
      background += near_colour(s->at(80, 360), server->background(), 10) ||
                    near_colour(s->at(640, 360), server->background(), 10);
    }
  }
  EXPECT_GE(player->wait_for_line(protocol::RESET, 0, from), 0) << dump();
  EXPECT_GE(shots, 5);
  EXPECT_EQ(background, 0) << "the background showed through the rebuild, in " << background << " of " << shots;
  expect_output(NAVY_BETWEEN_BARS);
  EXPECT_EQ(player->count_substring(protocol::SCREEN_WAYLAND + std::string("full-screen window")), 1) << dump();
  expect_clean_exit();
}

std::string compositor_name(const ::testing::TestParamInfo<WaylandServer::Kind>& info) {
  switch (info.param) {
    case WaylandServer::WESTON_DESKTOP: return "WestonDesktopShell";
    case WaylandServer::WESTON_KIOSK: return "WestonKioskShell";
    case WaylandServer::SWAY: return "Sway";
  }
  return "";
}
INSTANTIATE_TEST_SUITE_P(Compositors, ScreenWayland,
                         ::testing::Values(WaylandServer::WESTON_DESKTOP, WaylandServer::WESTON_KIOSK,
                                           WaylandServer::SWAY),
                         compositor_name);
