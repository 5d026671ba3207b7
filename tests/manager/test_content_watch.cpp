// New content copied onto a sign while it plays, with the real manager and
// player: a file is taken only once whole and then at the next item, never
// under a temporary name, and a file deleted while it plays plays to its end.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "manager/content_watch.h"
#include "manager_fixture.h"

namespace {

namespace fs = std::filesystem;

constexpr double SETTLE_S = 3;

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// As cp or scp over a slow link: the file grows under its final name.
void copy_slowly(const std::string& from, const std::string& to, int chunks, double pause_s) {
  std::string data = read_all(from);
  int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  size_t step = (data.size() + chunks - 1) / chunks;
  for (size_t at = 0; at < data.size(); at += step) {
    size_t n = std::min(step, data.size() - at);
    ASSERT_EQ(write(fd, data.data() + at, n), static_cast<ssize_t>(n));
    usleep(static_cast<useconds_t>(pause_s * 1e6));
  }
  close(fd);
}

// A file long on the board.
void copy_at_rest(const std::string& from, const std::string& to) {
  fs::copy_file(from, to);
  fs::last_write_time(to, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

class ContentWatchTest : public ManagerTest {
 protected:
  // Lines of the player that name `path`: it hears of a file only when it is
  // asked to preload it.
  int player_lines_naming(const std::string& path, size_t from, size_t to) const {
    auto all = manager->lines();
    int n = 0;
    for (size_t i = from; i < std::min(to, all.size()); ++i)
      if (all[i].rfind("player: ", 0) == 0 && all[i].find(path) != std::string::npos) ++n;
    return n;
  }
  // The files announced as playing from line `from` on, in order.
  std::vector<std::string> shown_from(size_t from) const {
    std::vector<std::string> out;
    auto all = manager->lines();
    const std::string head = "[manager] now playing ";
    for (size_t i = from; i < all.size(); ++i)
      if (all[i].rfind(head, 0) == 0) out.push_back(all[i].substr(all[i].find(": ") + 2));
    return out;
  }
  // Waits until `path` is announced as playing from line `from` on, and
  // checks that it was the first or second file announced (the one already
  // preloaded may come first).
  void expect_shown_next(const std::string& path, size_t from) {
    ASSERT_GE(manager->wait_for_substring("now playing ", LINE_TIMEOUT, from), 0) << dump();
    int at = manager->wait_for_substring(": " + path, LINE_TIMEOUT, from);
    ASSERT_GE(at, 0) << path << " never shown\n" << dump();
    auto shown = shown_from(from);
    auto where = std::find(shown.begin(), shown.end(), path);
    ASSERT_NE(where, shown.end()) << dump();
    EXPECT_LE(where - shown.begin(), 1) << path << " not taken at the next item\n" << dump();
  }
  size_t now_line() const { return manager->lines().size(); }
};

}  // namespace

// A directory that gets a file copied in slowly under its final name, then a
// file copied under a temporary name and renamed, beside a file whose name
// is a syncing tool's temporary one: the slow copy is never preloaded before
// its last byte, is passed over with one line, and plays as the next item
// once whole; the renamed file plays as the next item; the temporary one
// never plays.
TEST_F(ContentWatchTest, NewFilesPlayAtTheNextItemOnceWholeAndTemporaryNamesNever) {
  copy_at_rest(clip("red.mp4"), dir + "/a.mp4");
  copy_at_rest(clip("green.mp4"), dir + "/m.mp4");
  const std::string slow = dir + "/c.mp4", renamed = dir + "/n.mp4", temporary = dir + "/~syncthing~e.mp4";
  start({"--settle-time", std::to_string(SETTLE_S), dir});
  ASSERT_GE(expect_line(now_playing(1, 2, dir + "/a.mp4"), 0), 0);

  // 25 pieces 0.4 s apart, never 3 s at rest before the last, over two
  // turns of 4 s clips: its turn comes while it is being written.
  copy_slowly(clip("blue.mp4"), slow, 25, 0.4);
  size_t whole_at = now_line();
  EXPECT_EQ(player_lines_naming(slow, 0, whole_at), 0) << "preloaded while being copied\n" << dump();
  EXPECT_GE(manager->wait_for_substring("skipping " + slow + ": still being written", LINE_TIMEOUT), 0) << dump();
  usleep(static_cast<useconds_t>((SETTLE_S + 1) * 1e6));
  expect_shown_next(slow, now_line());
  EXPECT_TRUE(display.wait_for_colour(BLUE, 5)) << dump();

  // Named to come after the file preloaded while the slow one plays.
  fs::copy_file(clip("yellow.mp4"), renamed + ".part");
  fs::copy_file(clip("white.mp4"), temporary);
  fs::rename(renamed + ".part", renamed);
  usleep(static_cast<useconds_t>((SETTLE_S + 1) * 1e6));
  expect_shown_next(renamed, now_line());
  // Past the temporary name's turn, into the next round.
  ASSERT_GE(expect_line(now_playing(1, 5, dir + "/a.mp4"), now_line()), 0);

  EXPECT_EQ(player_lines_naming(temporary, 0, now_line()), 0) << dump();
  EXPECT_EQ(player_lines_naming(renamed + ".part", 0, now_line()), 0) << dump();
  // Said once, not at every pass.
  EXPECT_EQ(manager->count_substring("[manager] skipping " + slow + ": still being written"), 1) << dump();
  EXPECT_EQ(manager->count_substring("[manager] skipping " + temporary + ": a temporary name"), 1) << dump();
  EXPECT_EQ(own_lines("started the player").size(), 1u) << dump();
}

// A list file whose first file is deleted while it plays, and which names
// files under temporary names: the deleted file plays to its end from the
// player's open copy and is passed over next round as missing, with no
// player blamed or restarted; the temporary names never play.
TEST_F(ContentWatchTest, FileDeletedWhilePlayingPlaysToItsEnd) {
  const std::string doomed = dir + "/doomed.mp4", part = dir + "/g.mp4.part", hidden = dir + "/.h.mp4";
  fs::copy_file(clip("red.mp4"), doomed);
  fs::copy_file(clip("green.mp4"), part);
  fs::copy_file(clip("yellow.mp4"), hidden);
  start({"--rounds", "2", write_playlist({doomed, part, hidden, clip("blue.mp4")})});
  int at = expect_line(now_playing(1, 4, doomed), 0);
  ASSERT_GE(at, 0);
  ASSERT_TRUE(display.wait_for_colour(RED, 5)) << dump();
  ASSERT_EQ(unlink(doomed.c_str()), 0);

  // The player reads on from the file it has open.
  pid_t pid = player_pid();
  bool open_deleted = false;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code ec;
    if (fs::read_symlink(fd.path(), ec).string() == doomed + " (deleted)") open_deleted = true;
  }
  EXPECT_TRUE(open_deleted) << "the player does not hold the deleted file open";
  EXPECT_TRUE(display.wait_for_colour(RED, 2)) << "the deleted file stopped showing\n" << dump();

  int ended = manager->wait_for_substring(finished(1, 4, doomed), LINE_TIMEOUT, static_cast<size_t>(at));
  ASSERT_GE(ended, 0) << dump();
  EXPECT_GE(on_screen_seconds(manager->line(static_cast<size_t>(ended))), 3.0) << dump();
  ASSERT_GE(expect_line(now_playing(4, 4, clip("blue.mp4")), static_cast<size_t>(ended)), 0);
  auto status = manager->wait_exit(LINE_TIMEOUT);
  ASSERT_TRUE(status.has_value()) << dump();
  EXPECT_EQ(*status, 0) << dump();

  EXPECT_EQ(own_lines("now playing 4/4: " + clip("blue.mp4")).size(), 2u) << dump();
  EXPECT_EQ(own_lines("skipping " + doomed + ": file does not exist").size(), 1u) << dump();
  EXPECT_EQ(own_lines("skipping " + part + ": a temporary name").size(), 1u) << dump();
  EXPECT_EQ(own_lines("skipping " + hidden + ": a temporary name").size(), 1u) << dump();
  EXPECT_EQ(player_lines_naming(part, 0, now_line()) + player_lines_naming(hidden, 0, now_line()), 0) << dump();
  EXPECT_EQ(own_lines("started the player").size(), 1u) << dump();
  EXPECT_TRUE(own_lines("cut short").empty()) << dump();
}

// Where the cursor goes on when the list is read again: the faults are off
// by one, and a list naming a file twice.
TEST(ContentWatchParts, CursorGoesOnAfterTheEntryTakenLast) {
  using V = std::vector<std::string>;
  // A directory: past the name, whether it stayed, went, or a file came before it.
  EXPECT_EQ(position_after_reload({"/d/a", "/d/m"}, 1, {"/d/a", "/d/c", "/d/m"}, true), 1);
  EXPECT_EQ(position_after_reload({"/d/a", "/d/c", "/d/m"}, 2, {"/d/a", "/d/m"}, true), 1);
  EXPECT_EQ(position_after_reload({"/d/b", "/d/m"}, 1, {"/d/a", "/d/b", "/d/m"}, true), 2);
  EXPECT_EQ(position_after_reload({"/d/a", "/d/m"}, 2, {"/d/a", "/d/m", "/d/z"}, true), 2);
  EXPECT_EQ(position_after_reload({"/d/a"}, 0, {"/d/0", "/d/a"}, true), 0);
  // A list: the same occurrence of a file named twice; else the first entry
  // after it that is still there; else the round's end.
  V list = {"x", "y", "x", "z"};
  EXPECT_EQ(position_after_reload(list, 3, {"w", "x", "y", "x", "z"}, false), 4);
  EXPECT_EQ(position_after_reload(list, 2, {"x", "x", "z"}, false), 1);
  EXPECT_EQ(position_after_reload(list, 4, {"x", "y", "x"}, false), 3);
  EXPECT_EQ(position_after_reload({"a", "b"}, 1, {"c"}, false), 1);

  for (const char* name : {"/d/v.mp4.part", "/d/V.MP4.PART", "/d/v.mp4.filepart", "/d/v.tmp", "/d/~syncthing~v.mp4.tmp",
                           "/d/.syncthing.v.mp4.tmp", "/d/.v.mp4", "v.TMP"})
    EXPECT_TRUE(temporary_name(name)) << name;
  for (const char* name : {"/d/v.mp4", "/d.tmp/v.mp4", "/.d/v.mp4", "/d/part.mp4", "/d/v.tmp.mp4"})
    EXPECT_FALSE(temporary_name(name)) << name;
}
