// The manager keeps the display going when the player dies, when files are
// missing or broken, and leaves nothing behind when it stops.
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "manager_fixture.h"
#include "protocol/protocol.h"

TEST_F(ManagerTest, KilledPlayerIsStartedAgainAndResumesAfterTheFileOnScreen) {
  const std::vector<std::string> paths = {clip("red.mp4"), clip("green.mp4"), clip("blue.mp4"), clip("yellow.mp4")};
  start({write_playlist(paths)});
  int at = expect_line(now_playing(2, 4, paths[1]), 0);
  ASSERT_GE(at, 0);
  pid_t first = player_pid();
  ASSERT_GT(first, 0) << dump();
  size_t from = manager->line_count();
  ASSERT_EQ(kill(first, SIGKILL), 0);

  ASSERT_GE(manager->wait_for_substring(
                "[manager] player (pid " + std::to_string(first) + ") was killed by signal 9 (Killed) after ", 20, from),
            0)
      << dump();
  // Green was on screen: playback goes on with blue, and the cycle carries on.
  int blue = expect_line(now_playing(3, 4, paths[2]), from);
  ASSERT_GE(blue, 0);
  pid_t second = player_pid();
  EXPECT_NE(second, first);
  EXPECT_TRUE(display.wait_for_colour(BLUE, 10)) << dump();
  int yellow = expect_line(now_playing(4, 4, paths[3]), blue);
  ASSERT_GE(yellow, 0);
  EXPECT_GE(manager->wait_for_substring(finished(3, 4, paths[2]), 0, blue), 0) << dump();
  EXPECT_EQ(manager->wait_for_substring("[manager] now playing ", 0, from), blue) << dump();

  // A stop request ends the player first, then the manager, cleanly.
  manager->kill_now(SIGTERM);
  auto status = manager->wait_exit(30);
  ASSERT_TRUE(status.has_value()) << dump();
  EXPECT_EQ(*status, 0) << dump();
  EXPECT_FALSE(process_exists(second));
  EXPECT_EQ(own_lines("stopping on request").size(), 1u) << dump();
}

// A player that hangs answers nothing and reports nothing: only its silence
// tells, and it is killed and replaced.
TEST_F(ManagerTest, HungPlayerIsKilledAndReplaced) {
  const std::vector<std::string> paths = {clip("red.mp4"), clip("green.mp4"), clip("blue.mp4")};
  start({"--silence-timeout", "5", write_playlist(paths)});
  ASSERT_GE(expect_line(now_playing(1, 3, paths[0]), 0), 0);
  pid_t hung = player_pid();
  ASSERT_GT(hung, 0);
  size_t from = manager->line_count();
  ASSERT_EQ(kill(hung, SIGSTOP), 0);
  std::string id = "(pid " + std::to_string(hung) + ")";
  EXPECT_GE(expect_line("[manager] stopping the player " + id + ": it wrote nothing for 5 s", from, 30), 0);
  EXPECT_GE(expect_line("[manager] player " + id + " was killed by signal 9 (Killed)", from, 30), 0);
  EXPECT_GE(expect_line(now_playing(2, 3, paths[1]), from), 0);
  EXPECT_NE(player_pid(), hung);
}

TEST_F(ManagerTest, PlayerDoesNotOutliveAKilledManager) {
  start({write_playlist({clip("red.mp4"), clip("green.mp4")})});
  ASSERT_GE(expect_line(now_playing(1, 2, clip("red.mp4")), 0), 0);
  pid_t player = player_pid();
  ASSERT_GT(player, 0);
  manager->kill_now(SIGKILL);
  ASSERT_TRUE(manager->wait_exit(10).has_value());
  EXPECT_TRUE(wait_process_gone(player, 10)) << "player " << player << " still runs";
}

// Missing, empty and non-MP4 files are skipped before the player sees them.
// Files that only look like MP4 make the player fail: one it was started
// with is skipped after a second failure in a row, one it was preloading at
// once; either way the round goes on.
TEST_F(ManagerTest, SkipsMissingAndBrokenFilesAndGoesOn) {
  const std::string missing = dir + "/missing.mp4";
  const std::string cut = dir + "/cut.mp4";
  std::filesystem::copy_file(clip("truncated.mp4"), cut);
  const std::vector<std::string> paths = {clip("truncated.mp4"), clip("red.mp4"), missing,          clip("text.mp4"),
                                          clip("green.mp4"),     cut,              clip("empty.mp4"), clip("blue.mp4")};
  start({"--rounds", "1", write_playlist(paths)});
  auto status = manager->wait_exit(150);
  ASSERT_TRUE(status.has_value()) << dump();
  EXPECT_EQ(*status, 0) << dump();

  const int n = static_cast<int>(paths.size());
  EXPECT_EQ(own_lines("now playing "), (std::vector<std::string>{now_playing(2, n, paths[1]),
                                                                 now_playing(5, n, paths[4]),
                                                                 now_playing(8, n, paths[7])}))
      << dump();
  // A player that refuses a broken preload says so and plays on; one that
  // fails on it is started again. Either way the file is skipped.
  const bool refused = manager->count_substring("player: [PRELOAD] FAILED " + cut + ": ") > 0;
  auto skipped = own_lines("skipping ");
  ASSERT_EQ(skipped.size(), 5u) << dump();
  const std::string cut_line = skipped[3];
  skipped[3] = "[manager] skipping " + cut + ": (why)";
  EXPECT_EQ(skipped, (std::vector<std::string>{
                         "[manager] skipping " + paths[0] + ": the player failed twice when started with it",
                         "[manager] skipping " + missing + ": file does not exist",
                         "[manager] skipping " + paths[3] + ": not an MP4 file",
                         "[manager] skipping " + cut + ": (why)",
                         "[manager] skipping " + paths[6] + ": file is empty"}))
      << dump();
  if (refused)
    EXPECT_EQ(cut_line.rfind("[manager] skipping " + cut + ": the player could not preload it: ", 0), 0u) << dump();
  else
    EXPECT_EQ(cut_line, "[manager] skipping " + cut + ": the player failed while loading it") << dump();
  // Twice on the truncated file, once on red, and once after the cut file
  // unless the player refused it.
  EXPECT_EQ(own_lines("started the player").size(), refused ? 3u : 4u) << dump();
  int failures = 0;
  for (const auto& line : own_lines("player (pid ")) failures += line.find(") exited with status 1 after ") != std::string::npos;
  EXPECT_EQ(failures, refused ? 2 : 3) << dump();
  EXPECT_EQ(without_time(own_lines("finished ").back()), finished(8, n, paths[7])) << dump();
}

// A file that breaks while it is on screen, after playing for a while: the
// player ends with its error, the manager blames that file, goes on with the
// next one, and later rounds pass it by. (The first file of a run shows from
// the start; its preload, read through while it waits, may find the break
// first: either way the file is the one blamed.)
TEST_F(ManagerTest, FileThatBreaksOnScreenIsBlamedAndTheNextPlays) {
  const std::vector<std::string> paths = {clip("breaks_late.mp4"), clip("red.mp4"), clip("blue.mp4")};
  start({write_playlist(paths)});
  EXPECT_TRUE(display.wait_for_colour(GREEN, 10)) << dump();
  int blamed = manager->wait_for_substring("[manager] skipping " + paths[0] + ": the player ", 60);
  ASSERT_GE(blamed, 0) << dump();
  // The preload of the same file reads ahead of the screen: on a busy machine
  // it may find the break first, and the file is then blamed for that.
  if (manager->line(blamed).find("could not preload it") == std::string::npos) {
    EXPECT_GE(manager->wait_for_substring(") exited with status 1 after ", 20), 0) << dump();
  }
  EXPECT_TRUE(display.wait_for_colour(RED, 20)) << dump();
  int again = expect_line(now_playing(2, 3, paths[1]), expect_line(now_playing(3, 3, paths[2]), blamed, 30), 30);
  ASSERT_GE(again, 0);
  std::vector<std::string> playing;
  for (const auto& line : own_lines("now playing "))
    if (line != now_playing(1, 3, paths[0])) playing.push_back(line);
  playing.resize(3);
  EXPECT_EQ(playing, (std::vector<std::string>{now_playing(2, 3, paths[1]), now_playing(3, 3, paths[2]),
                                               now_playing(2, 3, paths[1])}))
      << dump();
}

// A display that appears only after a while, as at boot: the player fails
// for want of it, which says nothing about the file, and playback starts
// with the first file once the display is there. A stop then ends the
// player normally.
class LateDisplayTest : public ManagerRunTest {
 protected:
  std::vector<std::pair<std::string, std::string>> environment() const override {
    return {{"DISPLAY", display.name()}};
  }
  VirtualDisplay display{VirtualDisplay::Later{}};
};

TEST_F(LateDisplayTest, DisplayThatAppearsOnlyAfterAWhileSkipsNoFile) {
  ASSERT_FALSE(display.name().empty());
  const std::vector<std::string> paths = {clip("red.mp4"), clip("green.mp4")};
  start({write_playlist(paths)});
  // Three failed starts, about five seconds with the growing pause.
  int failed = 0;
  ASSERT_GE(manager->wait_for(
                [&](const std::string& l) {
                  failed += l.rfind("[manager] player (pid ", 0) == 0 && l.find(") exited with status 1 after ") != std::string::npos;
                  return failed >= 3;
                },
                LINE_TIMEOUT),
            0)
      << dump();
  ASSERT_TRUE(display.start()) << "Xvfb did not start on " << display.name();
  ASSERT_GE(expect_line(now_playing(1, 2, paths[0]), 0), 0);
  EXPECT_TRUE(display.wait_for_colour(RED, 10)) << dump();

  manager->kill_now(SIGTERM);
  auto status = manager->wait_exit(30);
  ASSERT_TRUE(status.has_value()) << dump();
  EXPECT_EQ(*status, 0) << dump();
  EXPECT_TRUE(own_lines("skipping ").empty()) << dump();
  auto starts = own_lines("started the player");
  EXPECT_GE(starts.size(), 4u) << dump();
  for (const auto& l : starts) EXPECT_EQ(l.substr(l.size() - paths[0].size()), paths[0]) << dump();
  auto ends = own_lines("player (pid ");
  ASSERT_FALSE(ends.empty());
  EXPECT_EQ(ends.back().substr(ends.back().find(") ") + 2), "exited with status 0") << dump();
}

// A display server that goes away while a file plays and comes back on the
// same name: the player ends with a line naming it, the manager starts it
// again after its shortest pause each time (the players started meanwhile
// fail at once), and a playlist colour is back at the centre within 5 s of
// the server taking clients again. No file is blamed.
class ServerComesBackTest : public ManagerRunTest {
 protected:
  std::vector<std::pair<std::string, std::string>> environment() const override {
    if (wayland) return wayland->client_env();
    return {{"DISPLAY", x->name()}};
  }
  std::optional<Rgb> centre() const {
    if (!wayland) return x->pixel();
    auto shot = wayland->screenshot();
    if (!shot) return std::nullopt;
    return shot->at(640, 360);
  }
  bool picture_within(double seconds) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
    do {
      auto c = centre();
      if (c && (near_colour(*c, GREEN) || near_colour(*c, BLUE) || near_colour(*c, YELLOW))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < end);
    return false;
  }
  void goes_away_and_comes_back(const std::string& lost, const std::function<void()>& take_away,
                                const std::function<bool()>& bring_back) {
    // No red: weston's output is red as it starts (see WaylandServer::background).
    const std::vector<std::string> paths = {clip("green.mp4"), clip("blue.mp4"), clip("yellow.mp4")};
    start({write_playlist(paths)});
    ASSERT_GE(expect_line(now_playing(1, 3, paths[0]), 0), 0);
    ASSERT_TRUE(picture_within(20)) << dump();
    size_t from = manager->line_count();
    take_away();
    ASSERT_GE(manager->wait_for_substring(std::string(protocol::SCREEN_ERROR) + lost +
                                              " - ending so that the player is started again",
                                          20, from),
              0)
        << dump();
    // Away for a couple of seconds; back just after a player failed for want
    // of it, the longest way back: a whole pause, then a start.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    size_t away = manager->line_count();
    auto ended = [](const std::string& l) { return l.rfind("[manager] player (pid ", 0) == 0; };
    ASSERT_GE(manager->wait_for(ended, 20, away), 0) << dump();
    ASSERT_TRUE(bring_back());
    auto back = std::chrono::steady_clock::now();
    EXPECT_TRUE(picture_within(5)) << "no picture 5 s after the server came back\n" << dump();
    fprintf(stderr, "picture back %.1f s after the server\n",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count());
    for (const auto& l : own_lines("starting the player again in "))
      EXPECT_EQ(l, "[manager] starting the player again in 1 s");
    EXPECT_TRUE(own_lines("skipping ").empty()) << dump();
    manager->kill_now(SIGTERM);
    auto status = manager->wait_exit(30);
    ASSERT_TRUE(status.has_value()) << dump();
    EXPECT_EQ(*status, 0) << dump();
  }
  std::unique_ptr<VirtualDisplay> x;
  std::unique_ptr<WaylandServer> wayland;
};

TEST_F(ServerComesBackTest, XServerRestarted) {
  // A number of the Later kind: the lowest free one, which a display of
  // another test takes, could be gone by the time the server comes back.
  x = std::make_unique<VirtualDisplay>(VirtualDisplay::Later{});
  ASSERT_TRUE(x->start());
  goes_away_and_comes_back("Lost the X display " + x->name(), [&] { x->stop(); }, [&] { return x->start(); });
}

TEST_F(ServerComesBackTest, WaylandCompositorRestarted) {
  wayland = std::make_unique<WaylandServer>(WaylandServer::WESTON_DESKTOP);
  if (!wayland->ok()) GTEST_SKIP() << wayland->why_not();
  goes_away_and_comes_back("Lost the Wayland compositor " + wayland->socket(), [&] { wayland->stop(); },
                           [&] { return wayland->start(); });
}
