// Pictures among videos, with the real manager, its clip maker and the real
// player: each picture on screen as it should stand, every change into and
// out of a picture without a picture lost or shown twice.
#include <httplib.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "manager_fixture.h"

namespace {

constexpr unsigned long long FRAME_NS = 40000000ULL;  // 25 frames a second, videos and clips alike

struct Spot {
  int x, y;
  Rgb colour;
};

// The four quarters of poster.jpg on the 1280x720 screen.
const std::vector<Spot> QUARTERS = {{320, 180, RED}, {960, 180, GREEN}, {320, 540, BLUE}, {960, 540, YELLOW}};

struct Drawn {
  unsigned long long due, pts;
};

std::vector<Drawn> read_trace(const std::string& path) {
  std::vector<Drawn> drawn;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    unsigned long long mono, clock, running, due, pts;
    if (f >> mono >> clock >> running >> due >> pts) drawn.push_back({due, pts});
  }
  return drawn;
}

class Pictures : public ManagerRunTest {
 protected:
  std::vector<std::pair<std::string, std::string>> environment() const override {
    return {{"DISPLAY", display.name()}, {"VIDEO_PLAYER_FRAME_TRACE", dir + "/trace"}};
  }

  // True once every spot shows its colour in one grab of the screen.
  bool wait_for_spots(const std::vector<Spot>& spots, double timeout_s, std::string& seen) {
    for (int i = 0; i < timeout_s * 20; ++i) {
      if (auto shot = display.grab()) {
        bool all = true;
        seen.clear();
        for (const Spot& s : spots) {
          const Rgb& c = shot->at(s.x, s.y);
          all = all && near_colour(c, s.colour);
          seen += "(" + std::to_string(s.x) + "," + std::to_string(s.y) + ")=" + std::to_string(c.r) + "," +
                  std::to_string(c.g) + "," + std::to_string(c.b) + " ";
        }
        if (all) return true;
      }
      usleep(50000);
    }
    return false;
  }

  VirtualDisplay display;
};

}  // namespace

// A round of videos and pictures: a JPEG, the same stored turned with its
// orientation tag, a PNG whose right half is transparent, a file named as a
// picture that is none and a JPEG cut short, which are both passed over with
// a line. Each picture shows for its time, upright and whole; each change
// from a video to a picture, between pictures and back to a video draws the
// old file's last picture and the new one's first one frame apart on the
// clock; the proof of play and the API tell pictures from videos.
TEST_F(Pictures, PlayAmongVideosUprightAndWithoutAPictureLostOrShownTwice) {
  for (const char* name : {"poster.jpg", "turned.jpg", "overlay.png", "not_a_picture.png", "cut_short.jpg"})
    std::filesystem::copy_file(clip(name), dir + "/" + name);
  std::string list = dir + "/playlist.txt";
  std::ofstream(list) << clip("red.mp4") << "\n"
                      << "not_a_picture.png\n"
                      << "cut_short.jpg\n"
                      << "3s poster.jpg\n"
                      << "3s turned.jpg\n"
                      << "overlay.png\n"
                      << clip("green.mp4") << "\n";
  start({"--rounds", "1", "--picture-seconds", "3", "--picture-size", "640x360", "--state-dir", dir + "/state",
         "--play-log", dir + "/play.log", "--http", "127.0.0.1:0", list});
  const int n = 7;
  struct Shown {
    std::string path;
    std::vector<Spot> spots;
  };
  const std::vector<Shown> shown = {{clip("red.mp4"), {{640, 360, RED}}},
                                    {dir + "/poster.jpg", QUARTERS},
                                    {dir + "/turned.jpg", QUARTERS},
                                    // Transparent is black; the picture fills the screen, no bar.
                                    {dir + "/overlay.png", {{320, 360, GREEN}, {960, 360, BLACK}, {20, 360, GREEN}}},
                                    {clip("green.mp4"), {{640, 360, GREEN}}}};
  const int index_of[] = {1, 4, 5, 6, 7};
  size_t from = 0;
  int port = -1;
  for (size_t k = 0; k < shown.size(); ++k) {
    int at = expect_line(now_playing(index_of[k], n, shown[k].path), from);
    ASSERT_GE(at, 0);
    from = static_cast<size_t>(at) + 1;
    if (k == 0) port = api_port();
    std::string seen;
    if (!wait_for_spots(shown[k].spots, 2.5, seen)) {
      EXPECT_GE(manager->wait_for_substring("[manager] now playing ", 0, from), 0)
          << shown[k].path << " announced but not on screen as it should stand: " << seen << "\n"
          << dump();
    }
    if (k == 2) {
      httplib::Client api("127.0.0.1", port);
      auto status = api.Get("/status");
      ASSERT_TRUE(status && status->status == 200) << dump();
      auto on_screen = nlohmann::json::parse(status->body)["on_screen"];
      EXPECT_EQ(on_screen["kind"], "picture") << status->body;
      EXPECT_EQ(on_screen["seconds"], 3.0) << status->body;
      auto playlist = api.Get("/playlist");
      ASSERT_TRUE(playlist && playlist->status == 200);
      auto items = nlohmann::json::parse(playlist->body)["items"];
      ASSERT_EQ(items.size(), 7u);
      EXPECT_EQ(items[0]["kind"], "video");
      EXPECT_TRUE(items[0]["seconds"].is_null());
      EXPECT_EQ(items[5]["kind"], "picture");
      EXPECT_EQ(items[5]["seconds"], 3.0);  // from --picture-seconds
      EXPECT_EQ(items[2]["state"], "skipped") << playlist->body;
      auto metrics = api.Get("/metrics");
      ASSERT_TRUE(metrics);
      EXPECT_NE(metrics->body.find("signage_shown_total{kind=\"picture\"} "), std::string::npos) << metrics->body;
    }
  }
  auto status = manager->wait_exit(LINE_TIMEOUT);
  ASSERT_TRUE(status.has_value()) << dump();
  EXPECT_EQ(*status, 0) << dump();
  EXPECT_EQ(manager->count_substring("[manager] skipping " + dir + "/not_a_picture.png: not a JPEG, PNG or WebP picture"),
            1) << dump();
  EXPECT_EQ(manager->count_substring("[manager] skipping " + dir + "/cut_short.jpg: not a picture that can be decoded"), 1)
      << dump();
  EXPECT_EQ(own_lines("started the player").size(), 1u) << dump();

  // Every picture drawn once, in step; at each change the new file's first
  // picture is due one frame after the old file's last, with nothing drawn
  // between. (A busy machine's sink may drop a picture drawn too late, as it
  // would anywhere in a file: the step is then counted from where it was.)
  std::vector<Drawn> drawn = read_trace(dir + "/trace");
  const unsigned long long length[] = {4000000000ULL, 3000000000ULL, 3000000000ULL, 3000000000ULL};
  int changes = 0;
  for (size_t i = 1; i < drawn.size(); ++i) {
    // A new file starts where its time goes back, or stays at 0 while the
    // clock goes on (the start: the player's own file, shown one picture,
    // switched to the same).
    bool new_file = drawn[i].pts < drawn[i - 1].pts || (drawn[i].pts == 0 && drawn[i].due > drawn[i - 1].due);
    if (!new_file) {
      unsigned long long step = drawn[i].pts - drawn[i - 1].pts;
      EXPECT_TRUE(step > 0 && step % FRAME_NS == 0) << "a picture twice or out of step at " << i << ": " << step;
      continue;
    }
    if (++changes == 1) continue;  // the start: the player's own file to the same, switched to at once
    if (changes > 5) break;
    EXPECT_GE(drawn[i - 1].pts, length[changes - 2] - 10 * FRAME_NS) << "the old file cut short, change " << changes;
    EXPECT_LE(drawn[i].pts, 10 * FRAME_NS) << "the new file's start lost, change " << changes;
    long long apart = static_cast<long long>(drawn[i].due) - static_cast<long long>(drawn[i - 1].due);
    long long in_files = static_cast<long long>(length[changes - 2] - drawn[i - 1].pts + drawn[i].pts);
    EXPECT_LE(std::llabs(apart - in_files), 1000000LL)
        << "change " << changes << ": due " << apart << " ns apart, " << in_files << " ns in the files\n" << dump();
  }
  EXPECT_EQ(changes, 5) << dump();

  // The proof of play names each showing's kind; a picture stayed its time.
  std::ifstream log(dir + "/play.log");
  std::vector<std::pair<std::string, double>> records;
  for (std::string line; std::getline(log, line);) {
    auto record = nlohmann::json::parse(line);
    records.emplace_back(record["kind"].get<std::string>(), record["seconds"].get<double>());
  }
  ASSERT_GE(records.size(), 5u) << dump();
  const char* kinds[] = {"video", "picture", "picture", "picture", "video"};
  for (size_t k = 0; k < 5; ++k) EXPECT_EQ(records[records.size() - 5 + k].first, kinds[k]);
  for (size_t k = 1; k < 4; ++k) EXPECT_NEAR(records[records.size() - 5 + k].second, 3.0, 0.5);
}
