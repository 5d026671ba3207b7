// The picture fills the screen, is turned for a turned screen, and one window
// of the player's own stays on screen through a rebuild of the pipeline.
#include "e2e_helpers.h"

namespace {

const Rgb PINK{255, 128, 192};  // no clip has it: the root window's colour

struct Spot {
  int x, y;
  Rgb colour;
};

class Screen : public PlayerE2E {
 protected:
  void expect_spots(const std::vector<Spot>& spots) {
    // The first frame may still be on its way.
    ASSERT_TRUE(display.wait_for_colour(spots[0].colour, 10, spots[0].x, spots[0].y)) << dump();
    auto shot = display.grab();
    ASSERT_TRUE(shot);
    for (const auto& s : spots) {
      const Rgb& got = shot->at(s.x, s.y);
      EXPECT_TRUE(near_colour(got, s.colour)) << "at " << s.x << "," << s.y << ": " << got.r << " " << got.g << " "
                                              << got.b;
    }
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
  expect_spots({{640, 360, RED}, {2, 2, RED}, {1277, 2, RED}, {2, 717, RED}, {1277, 717, RED}});
  unsigned long window = logged_window();
  ASSERT_NE(window, 0u) << dump();
  EXPECT_EQ(display.top_windows(), std::vector<unsigned long>{window});

  ScreenWatcher watcher(display, {{640, 360}, {80, 360}, {1200, 100}}, PINK);
  size_t from = player->line_count();
  player->send(protocol::CMD_PRELOAD + clip("silent_square.mp4"));
  ASSERT_GE(player->wait_for_line(protocol::RESET, EVENT_TIMEOUT, from), 0) << dump();
  ASSERT_GE(player->wait_for_line(protocol::PRELOAD_COMPLETE, EVENT_TIMEOUT, from), 0) << dump();
  expect_spots({{640, 360, NAVY}, {80, 360, BLACK}, {1200, 360, BLACK}, {170, 360, NAVY}, {1110, 700, NAVY}});
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

// On Wayland the player's own window is full screen under a desktop shell and
// under a kiosk shell, and a rebuild for another shape draws into the same
// window: the desktop's background never shows. What the output shows is read
// with weston's screenshooter. weston 10's headless back end with the kiosk
// shell stops repainting after the first frames (a plain gst-launch-1.0 to
// glimagesink stalls the same way), so there only the first picture is read.
TEST(ScreenWayland, PictureFillsTheOutputAndARebuildKeepsTheWindow) {
  const Rgb WESTON_BACKGROUND{0, 34, 68};  // the desktop shell's, without a setting
  for (const char* shell : {"desktop-shell.so", "kiosk-shell.so"}) {
    SCOPED_TRACE(shell);
    WaylandServer weston(shell);
    if (!weston.ok()) GTEST_SKIP() << "weston could not start here";
    PlayerClient::Options opts;
    opts.binary = player_binary();
    opts.args = {clip("red.mp4"), "--no_sound"};
    opts.env = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", weston.socket()}, {"XDG_RUNTIME_DIR", weston.runtime_dir()}};
    // weston 10's headless back end with the kiosk shell sends no frame
    // callbacks after the first frame, and Mesa's swap would wait for one
    // forever: it is told not to wait.
    bool kiosk = std::string(shell) == "kiosk-shell.so";
    if (kiosk) opts.env.push_back({"vblank_mode", "0"});
    opts.auto_ack = true;
    PlayerClient player;
    ASSERT_TRUE(player.start(opts));
    ASSERT_GE(player.wait_for_line(protocol::STARTED, STARTUP_TIMEOUT), 0);
    EXPECT_GE(player.wait_for_substring(protocol::SCREEN_WAYLAND + std::string("full-screen window 1280x720"), 1), 0);
    player.send(protocol::CMD_PLAY);
    auto shot_of = [&](const Rgb& centre) {
      std::optional<Screenshot> shot;
      for (int i = 0; i < 40; ++i) {
        shot = weston.screenshot();
        if (shot && near_colour(shot->at(640, 360), centre)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      return shot;
    };
    auto shot = shot_of(RED);
    ASSERT_TRUE(shot) << "no screenshot";
    for (auto [x, y] : std::vector<std::pair<int, int>>{{640, 360}, {2, 2}, {1277, 2}, {2, 717}, {1277, 717}})
      EXPECT_TRUE(near_colour(shot->at(x, y), RED)) << "at " << x << "," << y;
    if (kiosk) {
      EXPECT_EQ(player.stop(20).value_or(-1), 0);
      continue;
    }

    player.send(protocol::CMD_PRELOAD + clip("silent_square.mp4"));
    int shots = 0, background = 0;
    while (player.count_exact(protocol::PLAYING) < 2 && shots < 100) {
      if (auto s = weston.screenshot()) {
        ++shots;
        background += near_colour(s->at(80, 360), WESTON_BACKGROUND, 10) || near_colour(s->at(640, 360), WESTON_BACKGROUND, 10);
      }
    }
    EXPECT_EQ(background, 0) << "the desktop showed through the rebuild, in " << background << " of " << shots;
    shot = shot_of(NAVY);
    ASSERT_TRUE(shot);
    EXPECT_TRUE(near_colour(shot->at(640, 360), NAVY));
    EXPECT_TRUE(near_colour(shot->at(80, 360), BLACK));
    auto status = player.stop(20);
    EXPECT_EQ(status.value_or(-1), 0);
  }
}
