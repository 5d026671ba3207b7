// The pieces the manager stands on: reading a playlist, telling a file the
// player cannot take, and a client that forgets old lines.
#include <sys/stat.h>

#include "manager/playlist.h"
#include "manager_fixture.h"

namespace {

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

using ManagerParts = TempDirTest;

}  // namespace

TEST_F(ManagerParts, DirectoryPlaylistIsItsMp4FilesInNameOrder) {
  for (const char* name : {"b.mp4", "a.MP4", "c.mkv", ".hidden.mp4", "notes.txt", "10.mp4"})
    write_file(dir + "/" + name, "x");
  mkdir((dir + "/sub.mp4").c_str(), 0755);  // a directory is not a file to play
  PlaylistLoad load = load_playlist(dir);
  EXPECT_TRUE(load.error.empty());
  EXPECT_EQ(load.files, (std::vector<std::string>{dir + "/10.mp4", dir + "/a.MP4", dir + "/b.mp4", dir + "/sub.mp4"}));
  // Listed, but the check before a preload turns it down.
  EXPECT_EQ(unplayable_reason(dir + "/sub.mp4"), std::optional<std::string>("not a regular file"));
}

TEST_F(ManagerParts, ListFileSkipsCommentsAndResolvesRelativePaths) {
  write_file(dir + "/list.txt", "# comment\n\n  first.mp4  \n/abs/second.mp4\r\n sub/third.mp4\n#last.mp4\n");
  PlaylistLoad load = load_playlist(dir + "/list.txt");
  EXPECT_TRUE(load.error.empty());
  EXPECT_EQ(load.files, (std::vector<std::string>{dir + "/first.mp4", "/abs/second.mp4", dir + "/sub/third.mp4"}));
  EXPECT_FALSE(load_playlist(dir + "/absent.txt").error.empty());
}

TEST_F(ManagerParts, OnlyFilesThatOpenLikeMp4ArePlayable) {
  EXPECT_EQ(unplayable_reason(clip("red.mp4")), std::nullopt);
  EXPECT_EQ(unplayable_reason(clip("silent_square.mp4")), std::nullopt);
  // Cut short after its header: looks playable here, the player finds out.
  EXPECT_EQ(unplayable_reason(clip("truncated.mp4")), std::nullopt);
  EXPECT_EQ(unplayable_reason(clip("text.mp4")), std::optional<std::string>("not an MP4 file"));
  EXPECT_EQ(unplayable_reason(clip("empty.mp4")), std::optional<std::string>("file is empty"));
  EXPECT_EQ(unplayable_reason(clip("clip.mkv")), std::optional<std::string>("not an MP4 file"));
  EXPECT_EQ(unplayable_reason(dir + "/none.mp4"), std::optional<std::string>("file does not exist"));
  write_file(dir + "/short.mp4", "abc");
  EXPECT_EQ(unplayable_reason(dir + "/short.mp4"), std::optional<std::string>("too short to be an MP4 file"));
}

TEST_F(ManagerParts, BoundedClientKeepsCountingLinesItDropped) {
  PlayerClient::Options opts;
  opts.binary = "/bin/sh";
  opts.args = {"-c", "seq 1 3000; seq 1 3000 >&2"};
  opts.auto_ack = false;
  opts.max_lines = 100;
  opts.max_stderr_bytes = 1000;
  PlayerClient client;
  std::mutex m;
  std::vector<std::string> errors;
  client.set_stderr_handler([&](const std::string& l) {
    std::lock_guard<std::mutex> lock(m);
    errors.push_back(l);
  });
  ASSERT_TRUE(client.start(opts));
  ASSERT_EQ(client.wait_exit(20), std::optional<int>(0));

  EXPECT_EQ(client.line_count(), 3000u);
  EXPECT_EQ(client.first_kept_line(), 2900u);
  auto kept = client.lines();
  ASSERT_EQ(kept.size(), 100u);
  EXPECT_EQ(kept.front(), "2901");
  EXPECT_EQ(kept.back(), "3000");
  // Indices stay those of the whole output.
  EXPECT_EQ(client.line(2999), "3000");
  EXPECT_EQ(client.line(5), "");
  EXPECT_EQ(client.wait_for_line("2950", 1, 0), 2949);
  EXPECT_EQ(client.wait_for_line("6", 0.1, 0), -1);
  EXPECT_EQ(client.count_exact("2999", 0), 1);
  EXPECT_EQ(client.count_substring("29", 2900), 99);
  EXPECT_TRUE(client.output_closed());

  std::string err = client.stderr_text();
  EXPECT_LE(err.size(), 1000u);
  EXPECT_EQ(err.substr(err.size() - 10), "2999\n3000\n");
  std::lock_guard<std::mutex> lock(m);
  ASSERT_EQ(errors.size(), 3000u);
  EXPECT_EQ(errors.front(), "1");
  EXPECT_EQ(errors.back(), "3000");
}
