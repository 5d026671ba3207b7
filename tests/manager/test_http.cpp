// The sign from afar: the manager's HTTP API and its proof of play, against
// the real manager and player, with real requests.
#include <netinet/in.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "manager_fixture.h"

namespace {

using nlohmann::json;

// The colour at (x, y) of a PNG picture, read back with ffmpeg.
std::optional<Rgb> png_pixel(const std::string& png, const std::string& dir, int x, int y) {
  std::string path = dir + "/picture.png";
  std::ofstream(path, std::ios::binary) << png;
  std::string cmd = "ffmpeg -nostdin -loglevel error -i '" + path + "' -vf crop=1:1:" + std::to_string(x) + ":" +
                    std::to_string(y) + " -f rawvideo -pix_fmt rgb24 - 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  unsigned char rgb[3];
  size_t n = p ? fread(rgb, 1, 3, p) : 0;
  if (p) pclose(p);
  if (n != 3) return std::nullopt;
  return Rgb{rgb[0], rgb[1], rgb[2]};
}

// Keeps `count` connections open to the port, as any local user could: idle
// ones, and one in four a slow client that sends a byte every half second.
// Those the server closes are opened again until stop().
class Flood {
 public:
  Flood(int port, int count) : thread_([this, port, count] { run(port, count); }) {}
  ~Flood() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int opened() const { return opened_; }

 private:
  void run(int port, int count) {
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    std::vector<pollfd> fds;
    for (long round = 0; !stop_; ++round) {
      for (int n = 0; n < 20 && static_cast<int>(fds.size()) < count; ++n, ++opened_) {
        fds.push_back({socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), POLLIN, 0});
        connect(fds.back().fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      }
      poll(fds.data(), fds.size(), 0);
      for (size_t i = fds.size(); i-- > 0;) {
        char byte = 'x';
        bool slow = i % 4 == 0 && round % 25 == 0;
        if ((fds[i].revents & (POLLHUP | POLLERR)) || ((fds[i].revents & POLLIN) && recv(fds[i].fd, &byte, 1, 0) <= 0) ||
            (slow && send(fds[i].fd, &byte, 1, MSG_NOSIGNAL) < 0 && errno != EAGAIN)) {
          close(fds[i].fd);
          fds.erase(fds.begin() + static_cast<long>(i));
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (const auto& p : fds) close(p.fd);
  }
  std::atomic<bool> stop_{false};
  std::atomic<int> opened_{0};
  std::thread thread_;
};

class HttpApiTest : public ManagerTest {
 protected:
  // Starts the manager with its API on a free port, and a client for it.
  void start_with_api(std::vector<std::string> args, const std::string& address = "127.0.0.1:0") {
    args.insert(args.begin(), {"--http", address});
    start(args);
    const std::string head = "[manager] HTTP API on http://" + address.substr(0, address.rfind(':')) + ":";
    int at = manager->wait_for_substring(head, LINE_TIMEOUT);
    ASSERT_GE(at, 0) << dump();
    port = std::atoi(manager->line(at).c_str() + head.size());
    client = std::make_unique<httplib::Client>("127.0.0.1", port);
    client->set_read_timeout(10, 0);
  }
  json status() {
    auto res = client->Get("/status");
    EXPECT_TRUE(res && res->status == 200);
    return res ? json::parse(res->body, nullptr, false) : json();
  }
  int post(const std::string& path, const std::string& body = "") {
    auto res = body.empty() ? client->Post(path.c_str()) : client->Post(path.c_str(), body, "application/json");
    return res ? res->status : -1;
  }
  // Polls /status until it names the file on screen: the manager learns it
  // as the switch ends, a moment after the picture changed.
  bool wait_status_on_screen(const std::string& path) {
    for (int i = 0; i < 50; ++i) {
      if (status()["on_screen"]["path"] == path) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  // Polls /healthz until it answers `code`.
  bool wait_health(int code, double timeout_s) {
    for (int i = 0; i < timeout_s * 10; ++i) {
      auto res = client->Get("/healthz");
      if (res && res->status == code) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  std::unique_ptr<httplib::Client> client;
  int port = 0;
};

}  // namespace

// Each endpoint on a playing sign: what is on screen, the playlist, moving on
// and going to an item without a restart, refusals that change nothing, a
// burst of requests, the metrics, pause and play, and health through a restart.
TEST_F(HttpApiTest, EndpointsShowAndSteerTheSignWithoutRestartingThePlayer) {
  const std::vector<std::string> paths = {clip("red.mp4"), clip("green.mp4"), clip("blue.mp4"), clip("yellow.mp4")};
  start_with_api({write_playlist(paths)});
  ASSERT_GE(expect_line(now_playing(1, 4, paths[0]), 0), 0);
  EXPECT_TRUE(display.wait_for_colour(RED, 10)) << dump();
  pid_t pid = player_pid();
  json s = status();
  EXPECT_EQ(s["on_screen"]["path"], paths[0]) << s.dump();
  EXPECT_EQ(s["player"]["pid"], pid) << s.dump();
  EXPECT_FALSE(s["manager"]["version"].get<std::string>().empty());
  // No board decoder here: the player's software one, from its line.
  EXPECT_EQ(s["decoder"], json({{"element", "avdec_h264"}, {"hardware", false}})) << s.dump();
  EXPECT_TRUE(wait_health(200, 15)) << dump();
  auto list = json::parse(client->Get("/playlist")->body);
  ASSERT_EQ(list["items"].size(), 4u);
  EXPECT_EQ(list["items"][0]["state"], "on-screen") << list.dump();

  EXPECT_EQ(post("/next"), 202);
  EXPECT_TRUE(display.wait_for_colour(GREEN, 3)) << dump();
  EXPECT_EQ(post("/goto", R"({"name": "yellow.mp4"})"), 202);
  EXPECT_TRUE(display.wait_for_colour(YELLOW, 3)) << dump();
  EXPECT_EQ(post("/goto", R"({"index": 0})"), 202);
  EXPECT_TRUE(display.wait_for_colour(RED, 3)) << dump();
  EXPECT_TRUE(wait_status_on_screen(paths[0])) << dump();
  // The player's own last frame, at the clip's size.
  auto picture = client->Get("/snapshot.png");
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->status, 200) << picture->body;
  EXPECT_EQ(picture->get_header_value("Content-Type"), "image/png");
  auto colour = png_pixel(picture->body, dir, 160, 90);
  ASSERT_TRUE(colour) << "not a PNG picture of the clip";
  EXPECT_TRUE(near_colour(*colour, RED)) << colour->r << " " << colour->g << " " << colour->b;

  // Refused, and nothing changes.
  EXPECT_EQ(post("/goto", "{not json"), 400);
  EXPECT_EQ(post("/goto", R"({"index": "1"})"), 400);
  EXPECT_EQ(post("/goto", R"({"index": 4})"), 404);
  EXPECT_EQ(post("/goto", R"({"name": "/etc/passwd"})"), 404);
  EXPECT_EQ(post("/goto", std::string(64 * 1024, ' ')), 413);
  EXPECT_EQ(client->Get("/nothing")->status, 404);
  EXPECT_EQ(status()["on_screen"]["path"], paths[0]);

  // A burst from several clients at once: every one answered, the sign plays on.
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t)
    clients.emplace_back([&, t] {
      httplib::Client c("127.0.0.1", port);
      for (int i = 0; i < 25; ++i) {
        auto res = c.Get(i % 2 ? "/status" : "/metrics");
        if (res && res->status == 200) ++answered;
      }
    });
  for (auto& c : clients) c.join();
  EXPECT_EQ(answered, 200);
  EXPECT_EQ(post("/next"), 202);
  EXPECT_TRUE(display.wait_for_colour(GREEN, 3)) << dump();

  // Metrics in the text format, counting what played.
  std::string metrics = client->Get("/metrics")->body;
  std::regex sample(R"(^[a-zA-Z_:][a-zA-Z0-9_:]*(\{([a-zA-Z_]+="([^"\\]|\\.)*",?)*\})? [-+0-9.eE]+$)");
  std::istringstream lines(metrics);
  std::map<std::string, double> values;
  for (std::string l; std::getline(lines, l);) {
    if (l.rfind("# HELP ", 0) == 0 || l.rfind("# TYPE ", 0) == 0) continue;
    EXPECT_TRUE(std::regex_match(l, sample)) << l;
    values[l.substr(0, l.rfind(' '))] = std::atof(l.c_str() + l.rfind(' ') + 1);
  }
  EXPECT_GE(values["signage_switches_total"], 4) << metrics;
  EXPECT_EQ(values["signage_up"], 1) << metrics;
  EXPECT_EQ(values["signage_decoder_info{element=\"avdec_h264\",hardware=\"false\"}"], 1) << metrics;
  EXPECT_GT(values["signage_seconds_shown_total{path=\"" + paths[0] + "\"}"], 0) << metrics;

  EXPECT_EQ(post("/pause"), 200);
  EXPECT_TRUE(wait_health(503, 5));
  EXPECT_EQ(post("/play"), 200);
  EXPECT_TRUE(wait_health(200, 15)) << dump();
  EXPECT_EQ(player_pid(), pid);
  EXPECT_EQ(own_lines("started the player").size(), 1u) << dump();

  // While the player is started again the sign is not healthy.
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_TRUE(wait_health(503, 10)) << dump();
  EXPECT_TRUE(wait_health(200, 30)) << dump();
  s = status();
  EXPECT_EQ(s["restarts"], 1) << s.dump();
  EXPECT_NE(s["recent_restarts"][0]["reason"].get<std::string>().find("killed by signal 9"), std::string::npos);
}

// Loopback only without a token; with one, every request must carry it.
TEST_F(HttpApiTest, OtherAddressesNeedATokenAndEveryRequestCarriesIt) {
  for (const char* address : {"0.0.0.0:0", "10.1.2.3:0", "192.168.1.20:0", "[::]:0"}) {
    start({"--http", address, write_playlist({clip("red.mp4")})});
    auto code = manager->wait_exit(10);
    ASSERT_TRUE(code.has_value()) << address;
    EXPECT_EQ(*code, 2) << address;
    EXPECT_NE(manager->stderr_text().find("an address other than loopback needs --http-token-file"), std::string::npos)
        << address;
  }

  const std::string token = "a-token-of-the-test-0123456789";
  std::ofstream(dir + "/token") << token << "\n";
  start_with_api({"--http-token-file", dir + "/token", write_playlist({clip("red.mp4")})}, "0.0.0.0:0");
  EXPECT_EQ(client->Get("/status")->status, 401);
  client->set_bearer_token_auth((token + "x").c_str());
  EXPECT_EQ(client->Get("/status")->status, 401);
  EXPECT_EQ(post("/next"), 401);
  client->set_bearer_token_auth(token.c_str());
  EXPECT_EQ(client->Get("/status")->status, 200);
}

// One line per showing, in order, each as long as its clip: from its first
// picture to its last, also when the player rebuilds its pipeline for another
// picture shape on the way into and out of a file.
TEST_F(HttpApiTest, ProofOfPlayHasALinePerShowing) {
  const std::vector<std::string> paths = {clip("red.mp4"), clip("green.mp4"), clip("square.mp4"), clip("blue.mp4")};
  std::string log = dir + "/play.log";
  start({"--rounds", "1", "--play-log", log, write_playlist(paths)});
  auto code = manager->wait_exit(60);
  ASSERT_TRUE(code.has_value()) << dump();
  EXPECT_EQ(*code, 0);
  std::ifstream in(log);
  std::vector<json> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(json::parse(l, nullptr, false));
  ASSERT_EQ(lines.size(), 4u) << dump();
  EXPECT_EQ(manager->count_substring("[manager] the player rebuilt its pipeline"), 2) << dump();
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["path"], paths[i]);
    EXPECT_EQ(lines[i]["ended"], "end");
    EXPECT_NEAR(lines[i]["seconds"].get<double>(), 4.0, 0.2) << lines[i].dump();
    long long start = unix_ms(lines[i]["start"]), end = unix_ms(lines[i]["end"]);
    EXPECT_NEAR(end - start, lines[i]["seconds"].get<double>() * 1000, 2);
    // Each follows the one before, the switch or the rebuild between them
    // taking a moment.
    if (i > 0) {
      long long gap = start - unix_ms(lines[i - 1]["end"]);
      EXPECT_TRUE(gap >= -2 && gap < 1000) << lines[i - 1].dump() << lines[i].dump();
    }
  }
}

namespace {

// The manager's clock is UTC, so that the test knows what hour it is there.
class DayPartingTest : public ManagerTest {
 protected:
  std::vector<std::pair<std::string, std::string>> environment() const override {
    return {{"DISPLAY", display.name()}, {"TZ", "UTC"}};
  }
  // A window that opens in two hours: never due during the test.
  static std::string later_window() {
    time_t now = time(nullptr) + 2 * 3600;
    struct tm t;
    gmtime_r(&now, &t);
    char text[16];
    snprintf(text, sizeof text, "%02d:%02d-%02d:%02d", t.tm_hour, t.tm_min, (t.tm_hour + 1) % 24, t.tm_min);
    return text;
  }
};

}  // namespace

// Items outside their window are passed over; with nothing due, the idle
// picture shows, and the schedule is read again each round.
TEST_F(DayPartingTest, ItemsOutsideTheirWindowAreSkippedAndNothingDueShowsTheIdlePicture) {
  std::string list = dir + "/playlist.txt";
  std::ofstream(list) << later_window() << " " << clip("red.mp4") << "\n" << clip("green.mp4") << "\n";
  start({list});
  ASSERT_GE(expect_line(now_playing(2, 2, clip("green.mp4")), 0), 0);
  EXPECT_TRUE(display.wait_for_colour(GREEN, 10)) << dump();
  EXPECT_GE(manager->wait_for_substring("[manager] skipping " + clip("red.mp4") + ": not due now (", 10), 0) << dump();

  std::ofstream(list) << later_window() << " " << clip("red.mp4") << "\n"
                      << later_window() << " " << clip("green.mp4") << "\n";
  ASSERT_GE(manager->wait_for_substring("[manager] nothing in the playlist is due now", 20), 0) << dump();
  EXPECT_TRUE(display.wait_for_colour(BLACK, 15)) << dump();
  EXPECT_EQ(manager->count_substring("[manager] now playing 1/2"), 0) << dump();
}

// Hundreds of idle and slow connections, more than the manager may open
// descriptors, while the sign plays: the player plays on, a player killed
// during the flood is started again and plays, the manager's descriptors
// stay far from its limit, and the API answers again within 5 s of the
// flood's end.
TEST_F(HttpApiTest, FloodOfConnectionsNeitherDarkensTheSignNorOutlastsIt) {
  const std::vector<std::string> paths = {clip("red.mp4"), clip("green.mp4"), clip("blue.mp4")};
  start_with_api({write_playlist(paths)});
  ASSERT_GE(expect_line(now_playing(1, 3, paths[0]), 0), 0);
  constexpr int LIMIT = 256, CONNECTIONS = 400;
  rlimit lowered{}, old{};
  ASSERT_EQ(prlimit(manager->pid(), RLIMIT_NOFILE, nullptr, &old), 0);
  lowered = {LIMIT, old.rlim_max};
  ASSERT_EQ(prlimit(manager->pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);

  Flood flood(port, CONNECTIONS);
  for (int i = 0; i < 100 && flood.opened() < CONNECTIONS; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GE(flood.opened(), CONNECTIONS);
  size_t from = manager->line_count();
  EXPECT_GE(manager->wait_for_substring("[manager] now playing ", 15, from), 0) << "the sign stopped playing\n" << dump();

  pid_t killed = player_pid();
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  int started = manager->wait_for_substring("[manager] started the player, pid ", 20, from);
  ASSERT_GE(started, 0) << dump();
  EXPECT_GE(manager->wait_for_substring("[manager] now playing ", 30, started), 0) << dump();
  pid_t player = player_pid();
  ASSERT_NE(player, killed);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_TRUE(process_exists(player)) << dump();
  EXPECT_LT(manager->wait_for_substring("[manager] player (pid " + std::to_string(player) + ")", 0, started), 0) << dump();
  EXPECT_LT(dir_entries("/proc/" + std::to_string(manager->pid()) + "/fd"), LIMIT / 2);

  flood.stop();
  auto ended = std::chrono::steady_clock::now();
  httplib::Client probe("127.0.0.1", port);
  probe.set_connection_timeout(1, 0);
  probe.set_read_timeout(1, 0);
  bool answered = false;
  while (!answered && std::chrono::steady_clock::now() - ended < std::chrono::seconds(5)) answered = bool(probe.Get("/healthz"));
  EXPECT_TRUE(answered) << "no answer within 5 s of the flood's end";
  EXPECT_TRUE(wait_health(200, 15)) << dump();
}

// File names as a sign meets them: one in Latin-1, one with quotes and a
// backslash. Every JSON answer holds them validly, each byte that is not
// UTF-8 as U+FFFD; /goto takes such a name as /playlist shows it; the
// metrics' labels are valid UTF-8 with the text format's escapes.
TEST_F(HttpApiTest, FileNamesOfAnyBytesAreValidInJsonAndMetrics) {
  const std::string latin1 = dir + "/caf\xe9.mp4", quoted = dir + "/say \"hi\" \\ there.mp4";
  const std::string latin1_shown = dir + "/caf\xef\xbf\xbd.mp4";
  std::filesystem::copy_file(clip("red.mp4"), dir + "/a.mp4");
  std::filesystem::copy_file(clip("green.mp4"), latin1);
  std::filesystem::copy_file(clip("blue.mp4"), quoted);
  start_with_api({dir});
  ASSERT_GE(expect_line(now_playing(1, 3, dir + "/a.mp4"), 0), 0);
  auto valid_json = [](const httplib::Result& res) {
    EXPECT_TRUE(res && res->status < 500) << (res ? res->body : "no answer");
    json body = res ? json::parse(res->body, nullptr, false) : json();
    EXPECT_FALSE(body.is_discarded()) << (res ? res->body : "");
    return body;
  };
  for (int i = 0; i < 50 && status()["next"].is_null(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(valid_json(client->Get("/status"))["next"]["path"], latin1_shown);
  json list = valid_json(client->Get("/playlist"));
  ASSERT_EQ(list["items"].size(), 3u) << list.dump();
  EXPECT_EQ(list["items"][1]["name"], "caf\xef\xbf\xbd.mp4");
  EXPECT_EQ(list["items"][2]["path"], quoted);

  json went = valid_json(client->Post("/goto", json({{"name", "caf\xef\xbf\xbd.mp4"}}).dump(), "application/json"));
  EXPECT_EQ(went["item"]["path"], latin1_shown) << went.dump();
  EXPECT_TRUE(display.wait_for_colour(GREEN, 5)) << dump();
  EXPECT_TRUE(wait_status_on_screen(latin1_shown)) << dump();
  EXPECT_EQ(post("/goto", R"({"index": 2})"), 202);
  EXPECT_TRUE(display.wait_for_colour(BLUE, 5)) << dump();
  EXPECT_TRUE(wait_status_on_screen(quoted)) << dump();
  EXPECT_EQ(post("/next"), 202);
  EXPECT_TRUE(display.wait_for_colour(RED, 5)) << dump();

  std::string metrics;
  const std::string latin1_label = "signage_seconds_shown_total{path=\"" + latin1_shown + "\"} ";
  const std::string quoted_label = "signage_seconds_shown_total{path=\"" + dir + "/say \\\"hi\\\" \\\\ there.mp4\"} ";
  for (int i = 0; i < 50 && metrics.find(quoted_label) == std::string::npos; ++i) {
    metrics = client->Get("/metrics")->body;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NO_THROW(json(metrics).dump()) << "the metrics are not valid UTF-8";
  EXPECT_NE(metrics.find(latin1_label), std::string::npos) << metrics;
  EXPECT_NE(metrics.find(quoted_label), std::string::npos) << metrics;
  std::regex sample(R"(^[a-zA-Z_:][a-zA-Z0-9_:]*(\{([a-zA-Z_]+="([^"\\\n]|\\[\\"n])*",?)*\})? [-+0-9.eE]+$)");
  std::istringstream lines(metrics);
  for (std::string l; std::getline(lines, l);) {
    if (l.rfind("# ", 0) != 0) {
      EXPECT_TRUE(std::regex_match(l, sample)) << l;
    }
  }
}

// The sound's level from afar: set through the API and heard at once on the
// device chosen for the sound, refused when out of range, and kept in the
// state directory through a player killed and a manager started again.
TEST_F(HttpApiTest, SoundLevelSetFromAfarIsHeardAndKept) {
  SoundSink chosen;
  ASSERT_TRUE(chosen.ok()) << "no sound server to listen to";
  const std::string state = dir + "/state";
  ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
  const std::vector<std::string> args = {"--state-dir", state, "--audio-device", "pulse:" + chosen.name(),
                                         write_playlist({clip("long.mp4")})};
  start_with_api(args);
  SoundSink::Heard full = listen_for(chosen, TONE_STEREO, 20);
  ASSERT_TRUE(heard_tone(full, TONE_STEREO)) << "rms " << full.rms << dump();
  EXPECT_EQ(json::parse(client->Get("/audio")->body), json({{"volume", 1.0}, {"mute", false}}));
  auto put = [this](const std::string& body) {
    auto res = client->Put("/audio", body, "application/json");
    return res ? res->status : -1;
  };
  auto level_heard = [&chosen] {
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    return chosen.listen(1.0).rms;
  };
  EXPECT_EQ(put(R"({"volume": 0.5})"), 200);
  EXPECT_NEAR(level_heard() / full.rms, 0.5, 0.08);
  EXPECT_EQ(put(R"({"mute": true})"), 200);
  EXPECT_LT(level_heard(), 0.02 * full.rms);
  EXPECT_EQ(put(R"({"mute": false})"), 200);
  for (const char* bad : {R"({"volume": 1.5})", R"({"volume": "0.5"})", R"({"mute": 1})", "{}", "[0.5]", "{nope"})
    EXPECT_EQ(put(bad), 400) << bad;
  EXPECT_EQ(json::parse(client->Get("/audio")->body), json({{"volume", 0.5}, {"mute", false}}));
  std::ifstream kept(state + "/audio.json");
  std::string kept_text((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
  EXPECT_EQ(json::parse(kept_text, nullptr, false), json({{"volume", 0.5}, {"mute", false}})) << kept_text;

  // A player started again plays at the level set.
  pid_t pid = player_pid();
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_TRUE(wait_health(503, 10)) << dump();
  ASSERT_TRUE(wait_health(200, 30)) << dump();
  EXPECT_NE(player_pid(), pid);
  ASSERT_TRUE(heard_tone(listen_for(chosen, TONE_STEREO, 20), TONE_STEREO)) << dump();
  EXPECT_NEAR(level_heard() / full.rms, 0.5, 0.08);

  // So does a manager started again, from the state directory.
  manager->kill_now(SIGTERM);
  ASSERT_TRUE(manager->wait_exit(30)) << dump();
  start_with_api(args);
  ASSERT_TRUE(wait_health(200, 30)) << dump();
  EXPECT_EQ(json::parse(client->Get("/audio")->body), json({{"volume", 0.5}, {"mute", false}}));
  ASSERT_TRUE(heard_tone(listen_for(chosen, TONE_STEREO, 20), TONE_STEREO)) << dump();
  EXPECT_NEAR(level_heard() / full.rms, 0.5, 0.08);
  EXPECT_EQ(own_lines("the sound's level kept in " + state + "/audio.json: volume 0.50").size(), 1u) << dump();
}
