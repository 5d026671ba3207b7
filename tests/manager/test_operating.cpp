// Operating a sign against the stand-in for the player: requests that cannot
// harm, day-parting when a file would show, proof of play across a step of
// the wall clock (libfaketime, its offset read from a file during the run,
// the monotonic clock left alone), what a player that ends leaves, and the
// API's front under clients that hold connections and under failing calls.
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "standin_fixture.h"
#include "support/http_crowd.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

class Operating : public ManagerDecisions {
 protected:
  std::vector<std::pair<std::string, std::string>> environment() const override {
    auto env = ManagerDecisions::environment();
    env.push_back({"TZ", "UTC"});
    env.push_back({"TMPDIR", dir + "/tmp"});
    if (fail_calls) env.insert(env.end(), {{"LD_PRELOAD", FAIL_CALLS_LIBRARY}, {"FAIL_CALLS_FILE", dir + "/fail"}});
    if (fake_clock)
      env.insert(env.end(), {{"LD_PRELOAD", FAKETIME_LIBRARY},
                             {"FAKETIME_TIMESTAMP_FILE", dir + "/clock"},
                             {"FAKETIME_NO_CACHE", "1"},
                             {"DONT_FAKE_MONOTONIC", "1"}});
    return env;
  }

  // The manager's wall clock runs `offset_s` ahead of the real one from now on.
  void set_clock_offset(long long offset_s) {
    fake_clock = true;
    std::ofstream(dir + "/clock.new") << (offset_s < 0 ? "" : "+") << offset_s << "\n";
    ASSERT_EQ(rename((dir + "/clock.new").c_str(), (dir + "/clock").c_str()), 0);
  }
  // ... reads hh:mm(:ss) UTC today.
  void set_clock_to(int hour, int minute, int second = 0) {
    time_t now = time(nullptr);
    set_clock_offset(now / 86400 * 86400 + hour * 3600 + minute * 60 + second - now);
  }

  std::unique_ptr<httplib::Client> api() {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", api_port());
    c->set_read_timeout(10, 0);
    return c;
  }

  // Files under the manager's TMPDIR, its own directories' content included.
  Lines temporary_files() const {
    Lines out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir + "/tmp"))
      if (!e.is_directory()) out.push_back(e.path().string());
    return out;
  }

  void SetUp() override {
    ManagerDecisions::SetUp();
    std::filesystem::create_directory(dir + "/tmp");
  }

  bool fake_clock = false;
  bool fail_calls = false;  // calls of the API's front fail as tests/manager/fail_calls.c says
};

json parse(const httplib::Result& res) { return res ? json::parse(res->body, nullptr, false) : json(); }

}  // namespace

// /goto and /previous to an item the playlist would skip (missing, not a
// playable file, blamed, outside its window) are refused with the reason and
// change nothing: no preload is dropped or asked for. One that can play is
// gone to, once.
TEST_F(Operating, RequestsForItemsThatCannotPlayAreRefusedAndChangeNothing) {
  const Lines f = files({"a", "blamed", "d", "late"});
  std::ofstream(dir + "/text.mp4") << "not a video\n";
  time_t later = time(nullptr) + 2 * 3600;
  char window[16];
  strftime(window, sizeof window, "%H:00-%H:59", gmtime(&later));
  const Lines playlist = {f[0], dir + "/missing.mp4", dir + "/text.mp4", f[1], f[2],
                          std::string(window) + " " + f[3]};
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1]), say(PRELOAD_FAILED + f[1] + ": no video stream"), emit(PRELOAD_ERROR),
                await(CMD_PRELOAD + f[2]), emit(PRELOAD_COMPLETE), "touch ready", await(CMD_SWITCH),
                say(SWITCH_DONE), await(CMD_PRELOAD + f[0]), "touch done"},
      playlist, {"--http", "127.0.0.1:0"});
  auto client = api();
  wait_file("ready");

  for (const auto& [path, body, reason] : std::vector<std::tuple<const char*, const char*, const char*>>{
           {"/goto", R"({"index": 1})", "missing"},
           {"/goto", R"({"name": "missing.mp4"})", "missing"},
           {"/goto", R"({"index": 2})", "not-playable"},
           {"/goto", R"({"index": 3})", "blamed"},
           {"/goto", R"({"index": 5})", "not-due"},
           {"/previous", "{}", "not-due"}}) {  // before a: the item outside its window
    auto res = client->Post(path, body, "application/json");
    ASSERT_TRUE(res) << body;
    EXPECT_EQ(res->status, 409) << body << " " << res->body;
    EXPECT_EQ(parse(res)["reason"], reason) << res->body;
  }
  EXPECT_EQ(client->Post("/goto", R"({"index": 4})", "application/json")->status, 202);
  wait_file("done");
  stop_manager();
  const Lines want = start_transcript(f[0]) + Lines{got(CMD_PRELOAD + f[1]), PRELOAD_FAILED + f[1] + ": no video stream"} +
                     event(PRELOAD_ERROR, ACK_PRELOAD_ERROR) + Lines{got(CMD_PRELOAD + f[2])} +
                     event(PRELOAD_COMPLETE, ACK_PRELOAD_COMPLETE) +
                     Lines{got(CMD_SWITCH), SWITCH_DONE, got(CMD_PRELOAD + f[0])} + STOPPED_BY_MANAGER;
  EXPECT_EQ(transcript(), want) << dump();
  EXPECT_EQ(own_lines("not going to ").size(), 6u) << dump();
}

// An item whose window closes while the file before it plays, its switch
// already armed, is dropped and the next due item shown instead.
TEST_F(Operating, ItemWhoseWindowClosesBeforeItShowsIsDropped) {
  const Lines f = files({"a", "b", "c"});
  set_clock_to(11, 0);
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1]), emit(PRELOAD_COMPLETE), await(CMD_SWITCH_AT_END), say(ARMED),
                "touch armed", await(CMD_DROP_PRELOAD), say(PRELOAD_DROPPED + f[1]), await(CMD_PRELOAD + f[2]),
                emit(PRELOAD_COMPLETE), await(CMD_SWITCH_AT_END), say(ARMED), say(ARMED_SWITCH_TAKEN),
                emit(END_OF_VIDEO), say(SWITCH_DONE), await(CMD_PRELOAD + f[0]), "touch done"},
      {f[0], "08:00-12:00 " + f[1], f[2]}, {}, true);
  wait_file("armed");
  set_clock_to(12, 0);
  wait_file("done");
  stop_manager();
  EXPECT_EQ(own_lines("now playing "), (Lines{now_playing(1, 3, f[0]), now_playing(3, 3, f[2])})) << dump();
  EXPECT_EQ(own_lines("dropping the preload of 2/3: " + f[1] + ": its window has closed (08:00-12:00)").size(), 1u)
      << dump();
}

// The wall clock stepped an hour ahead during one showing and two hours back
// during the next: each record's seconds and the counter are the monotonic
// clock's, its start and end what the wall clock said, each with whether it
// was synchronised.
TEST_F(Operating, ClockStepDuringAShowingChangesNoDurationAndNoCounter) {
  const Lines f = files({"a", "b", "c"});
  const std::string log = dir + "/play.log";
  set_clock_offset(0);
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1]), emit(PRELOAD_COMPLETE), "touch first", "wait-file stepped", "sleep 0.5",
                emit(END_OF_VIDEO), await(CMD_SWITCH), say(SWITCH_SEEK), say(SWITCH_DONE), await(CMD_PRELOAD + f[2]),
                emit(PRELOAD_COMPLETE), "touch second", "wait-file stepped-back", "sleep 0.5", emit(END_OF_VIDEO),
                await(CMD_SWITCH), say(SWITCH_SEEK), say(SWITCH_DONE), await(CMD_PRELOAD + f[0]), "touch done"},
      f, {"--http", "127.0.0.1:0", "--play-log", log});
  auto client = api();
  wait_file("first");
  set_clock_offset(3600);
  std::ofstream(dir + "/stepped").close();
  wait_file("second");
  set_clock_offset(-3600);
  std::ofstream(dir + "/stepped-back").close();
  wait_file("done");
  std::string metrics = client->Get("/metrics")->body;
  stop_manager();
  std::ifstream in(log);
  std::vector<json> records;
  for (std::string l; std::getline(in, l);) records.push_back(json::parse(l, nullptr, false));
  ASSERT_GE(records.size(), 2u) << dump();
  for (size_t i = 0; i < 2; ++i) {
    size_t at = metrics.find("signage_seconds_shown_total{path=\"" + f[i] + "\"} ");
    ASSERT_NE(at, std::string::npos) << metrics;
    double counted = std::atof(metrics.c_str() + metrics.find(' ', at));
    EXPECT_TRUE(counted > 0.4 && counted < 30) << counted;
    EXPECT_EQ(records[i]["path"], f[i]) << records[i].dump();
    double seconds = records[i]["seconds"].get<double>();
    EXPECT_TRUE(seconds > 0.4 && seconds < 30) << records[i].dump();
    EXPECT_TRUE(records[i].contains("start_synced") && records[i].contains("end_synced")) << records[i].dump();
  }
  // What the wall clock said: a's end an hour after its start, b's two hours before.
  EXPECT_GT(unix_ms(records[0]["end"]) - unix_ms(records[0]["start"]), 3500 * 1000LL) << records[0].dump();
  EXPECT_LT(unix_ms(records[1]["end"]) - unix_ms(records[1]["start"]), -7000 * 1000LL) << records[1].dump();
}

// A player that ends while it writes a picture, a client connected: the
// request waiting for the picture is refused, the half-written file removed,
// and the next player gets nothing of the manager's but its standard streams.
TEST_F(Operating, PlayerThatEndsLeavesNoPictureAndTheNextGetsOnlyItsStandardStreams) {
  const Lines f = files({"a", "b"});
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1]), "await snapshot *", "half-write", "touch half", "wait-file go", "exit 1",
                "run 2", "fds"} +
          start_steps(f[1]) + Lines{await(CMD_PRELOAD + f[0]), "touch second"},
      f, {"--http", "127.0.0.1:0"});
  auto client = api(), watcher = api();
  watcher->set_keep_alive(true);
  std::atomic<bool> done{false};
  std::thread watching([&] {
    for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(200))) watcher->Get("/healthz");
  });
  wait_player_line(got(CMD_PRELOAD + f[1]));
  int picture = -1;
  std::thread asking([&] {
    if (auto res = client->Get("/snapshot.png")) picture = res->status;
  });
  wait_file("half");
  EXPECT_FALSE(temporary_files().empty());
  std::ofstream(dir + "/go").close();
  asking.join();
  EXPECT_EQ(picture, 503);
  wait_file("second");
  done = true;
  watching.join();
  EXPECT_EQ(temporary_files(), Lines{}) << dump();
  stop_manager();
  Lines descriptors;
  for (const auto& l : transcript())
    if (l.rfind("[STANDIN] fd ", 0) == 0 && l.find(" -> /proc/") == std::string::npos) descriptors.push_back(l);
  ASSERT_EQ(descriptors.size(), 3u) << dump();
  for (int fd = 0; fd < 3; ++fd) EXPECT_EQ(descriptors[fd].rfind("[STANDIN] fd " + std::to_string(fd) + " -> pipe:", 0), 0u);
}

// Keep-alive pollers, more than the API has threads, slow senders and slow
// readers of a large answer hold connections for as long as the test runs:
// a fresh client is answered every time, each poll is answered, the manager
// keeps its threads, and its descriptors are back where they were once the
// clients are gone.
TEST_F(Operating, FreshClientIsAnsweredWhilePollersAndSlowClientsHoldConnections) {
  const Lines f = files({"a", "b"});
  Lines playlist;
  for (int i = 0; i < 3000; ++i) playlist.push_back(f[i % 2]);  // a /playlist of some 400 KB
  run(Lines{"run 1"} + start_steps(f[0]) + Lines{await(CMD_PRELOAD + f[1]), emit(PRELOAD_COMPLETE), "touch ready"},
      playlist, {"--http", "127.0.0.1:0"});
  int port = api_port();
  wait_file("ready");
  auto client = api();
  ASSERT_GT(client->Get("/playlist")->body.size(), 300000u);
  const std::string proc = "/proc/" + std::to_string(manager->pid());
  const int threads = dir_entries(proc + "/task"), descriptors = dir_entries(proc + "/fd");

  HttpCrowd::Plan plan;
  plan.pollers = 24;
  plan.senders = 8;
  plan.readers = 8;
  plan.read_path = "/playlist";
  HttpCrowd crowd(port, plan);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  int answered = 0, asked = 0;
  for (auto until = Clock::now() + std::chrono::seconds(8); Clock::now() < until; ++asked) {
    httplib::Client fresh("127.0.0.1", port);
    fresh.set_connection_timeout(4, 0);
    fresh.set_read_timeout(4, 0);
    auto res = fresh.Get(asked % 2 ? "/status" : "/healthz");
    if (res && (res->status == 200 || res->status == 503)) ++answered;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(answered, asked);
  EXPECT_EQ(dir_entries(proc + "/task"), threads);
  int sent = crowd.polls_sent(), polled = crowd.polls_answered();
  crowd.stop();
  EXPECT_GE(polled, sent - 24) << "a poll waits for its answer at most until the next";
  EXPECT_GE(sent, 24 * 7);
  // The slow senders were cut at their request's limit and came again.
  EXPECT_GE(crowd.connections(), 24 + 8 * 2 + 8);
  int now = 0;
  for (int i = 0; i < 50 && (now = dir_entries(proc + "/fd")) > descriptors; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_LE(now, descriptors);
  EXPECT_EQ(client->Get("/healthz")->status, 200);
}

// The API's thread waits out what a starved system makes its calls fail with:
// no memory for a wait, an interrupted wait, no descriptor for a connection.
// Requests made meanwhile are answered once the calls work again, by the
// same threads.
TEST_F(Operating, ApiOutlivesFailingWaitsAndAccepts) {
  const Lines f = files({"a", "b"});
  fail_calls = true;
  run(Lines{"run 1"} + start_steps(f[0]) + Lines{await(CMD_PRELOAD + f[1]), "touch ready"}, f,
      {"--http", "127.0.0.1:0"});
  int port = api_port();
  wait_file("ready");
  auto client = api();
  ASSERT_EQ(client->Get("/status")->status, 200);
  const std::string proc = "/proc/" + std::to_string(manager->pid());
  const int threads = dir_entries(proc + "/task");
  for (const char* failure : {"epoll_wait 12", "epoll_wait 4", "accept4 24", "accept4 12", "accept4 23"}) {
    std::ofstream(dir + "/fail") << failure << "\n";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = -1;
    std::thread asking([&] {
      httplib::Client c("127.0.0.1", port);
      c.set_read_timeout(10, 0);
      if (auto res = c.Get("/healthz")) status = res->status;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    std::filesystem::remove(dir + "/fail");
    asking.join();
    EXPECT_EQ(status, 200) << failure;
    EXPECT_EQ(client->Get("/status")->status, 200) << failure;
  }
  EXPECT_EQ(dir_entries(proc + "/task"), threads);
}

// Outside its hours the screen sleeps: the player is paused, then told to
// put the screen to sleep. At the start of its hours it wakes on the next
// file, switched to while still paused, and only then is lit and played.
// An operator's choice holds until the hours next change, and /status,
// /metrics and /healthz say it all along.
TEST_F(Operating, ScreenSleepsOutsideItsHoursAndWakesOnTheNextFile) {
  const Lines f = files({"a", "b"});
  const std::string off = std::string(CMD_SCREEN) + "off", on = std::string(CMD_SCREEN) + "on";
  set_clock_to(10, 0);
  run(Lines{"run 1"} + start_steps(f[0]) +
          Lines{await(CMD_PRELOAD + f[1]), emit(PRELOAD_COMPLETE), await(CMD_SWITCH_AT_END), say(ARMED), "touch armed",
                await(CMD_PAUSE), await(off), "touch asleep", await(CMD_SWITCH), say(SWITCH_DONE), await(on),
                await(CMD_PLAY), await(CMD_PRELOAD + f[0]), emit(PRELOAD_COMPLETE), await(CMD_SWITCH_AT_END),
                say(ARMED), "touch awake", await(CMD_PAUSE), await(off), "touch held"},
      f, {"--http", "127.0.0.1:0", "--screen-on", "08:00-12:00"}, true);
  auto client = api();
  wait_file("armed");
  json status = parse(client->Get("/status"));
  EXPECT_EQ(status["screen"], json({{"on", true}, {"held", false}, {"hours", "08:00-12:00"}})) << status.dump();
  set_clock_to(11, 59, 58);  // the hours end two seconds from now
  wait_file("asleep");
  status = parse(client->Get("/status"));
  EXPECT_EQ(status["screen"]["on"], false) << status.dump();
  EXPECT_NE(client->Get("/metrics")->body.find("\nsignage_screen_on 0\n"), std::string::npos);
  EXPECT_EQ(client->Get("/healthz")->status, 200);  // asleep as it should be

  set_clock_to(7, 59, 58);  // and begin two seconds from now
  wait_file("awake");
  status = parse(client->Get("/status"));
  EXPECT_EQ(status["screen"]["on"], true) << status.dump();
  EXPECT_EQ(status["on_screen"]["path"], f[1]) << status.dump();
  EXPECT_NE(client->Get("/metrics")->body.find("\nsignage_screen_on 1\n"), std::string::npos);

  // An operator's choice, held until the hours next change.
  for (const char* bad : {R"({"on": 1})", R"({})", R"({"on": "false"})"})
    EXPECT_EQ(client->Post("/screen", bad, "application/json")->status, 400) << bad;
  auto res = client->Post("/screen", R"({"on": false})", "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(parse(res), json({{"on", false}, {"held", true}})) << res->body;
  wait_file("held");
  EXPECT_EQ(parse(client->Get("/status"))["screen"]["held"], true);
  set_clock_to(11, 59, 58);
  ASSERT_GE(expect_line("[manager] the screen's hours end: the choice made on request no longer holds", 0), 0);
  stop_manager();

  EXPECT_EQ(own_lines("the screen"),
            (Lines{"[manager] the screen sleeps: outside its hours (08:00-12:00)",
                   "[manager] the screen wakes: its hours begin (08:00-12:00)", "[manager] the screen sleeps: on request",
                   "[manager] the screen's hours end: the choice made on request no longer holds"}))
      << dump();
  // The commands in order: paused before the screen sleeps; woken, the next
  // file is switched to before the screen is lit and played; the end of
  // the hours during the held sleep changes nothing.
  Lines commands;
  for (const auto& l : transcript())
    if (l == got(CMD_PAUSE) || l == got(CMD_PLAY) || l == got(off) || l == got(on) || l == got(CMD_SWITCH) ||
        l == got(CMD_EXIT))
      commands.push_back(l.substr(got("").size()));
  EXPECT_EQ(commands, (Lines{CMD_PLAY, CMD_SWITCH, CMD_PAUSE, off, CMD_SWITCH, on, CMD_PLAY, CMD_PAUSE, off, on, CMD_EXIT}))
      << dump();
}

// A player started while the screen sleeps is told so before it plays and
// paused as it plays; a rebuild of its pipeline (which plays the new one)
// is paused again.
TEST_F(Operating, PlayerStartedWhileTheScreenSleepsIsPausedAndARebuildToo) {
  const Lines f = files({"a", "b"});
  const std::string off = std::string(CMD_SCREEN) + "off";
  set_clock_to(12, 30);
  run(Lines{"run 1", say(READY), await(off), await(CMD_PLAY), emit(PLAYING), await(CMD_PAUSE), await(CMD_PRELOAD + f[0]),
            emit(PRELOAD_COMPLETE), await(CMD_SWITCH), say(SWITCH_DONE), await(CMD_PRELOAD + f[1]), emit(RESET),
            emit(PLAYING), await(CMD_PAUSE), "touch done"},
      f, {"--screen-on", "08:00-12:00"});
  wait_file("done");
  stop_manager();
  Lines commands;
  for (const auto& l : transcript())
    if (l == got(CMD_PAUSE) || l == got(CMD_PLAY) || l == got(off)) commands.push_back(l.substr(got("").size()));
  EXPECT_EQ(commands, (Lines{off, CMD_PLAY, CMD_PAUSE, CMD_PAUSE})) << dump();
}
