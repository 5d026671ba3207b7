// Operating a sign against the stand-in for the player: requests that cannot
// harm, the descriptors a player gets, day-parting when a file would show,
// and proof of play across a step of the wall clock (libfaketime, its offset
// read from a file during the run, the monotonic clock left alone).
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "standin_fixture.h"

namespace {

using nlohmann::json;

class Operating : public ManagerDecisions {
 protected:
  std::vector<std::pair<std::string, std::string>> environment() const override {
    auto env = ManagerDecisions::environment();
    env.push_back({"TZ", "UTC"});
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
  // ... reads hh:mm UTC today.
  void set_clock_to(int hour, int minute) {
    time_t now = time(nullptr);
    set_clock_offset(now / 86400 * 86400 + hour * 3600 + minute * 60 - now);
  }

  std::unique_ptr<httplib::Client> api() {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", api_port());
    c->set_read_timeout(10, 0);
    return c;
  }

  bool fake_clock = false;
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

  const std::vector<std::pair<std::string, std::string>> refused = {
      {R"({"index": 1})", "missing"},
      {R"({"name": "missing.mp4"})", "missing"},
      {R"({"index": 2})", "not-playable"},
      {R"({"index": 3})", "blamed"},
      {R"({"index": 5})", "not-due"}};
  for (const auto& [body, reason] : refused) {
    auto res = client->Post("/goto", body, "application/json");
    ASSERT_TRUE(res) << body;
    EXPECT_EQ(res->status, 409) << body << " " << res->body;
    EXPECT_EQ(parse(res)["reason"], reason) << res->body;
    EXPECT_NE(parse(res)["error"].get<std::string>().find("cannot play now"), std::string::npos) << res->body;
  }
  auto previous = client->Post("/previous");  // before a: the item outside its window
  ASSERT_TRUE(previous);
  EXPECT_EQ(previous->status, 409) << previous->body;
  EXPECT_EQ(parse(previous)["reason"], "not-due") << previous->body;
  json status = parse(client->Get("/status"));
  EXPECT_EQ(status["on_screen"]["path"], f[0]) << status.dump();
  EXPECT_EQ(status["next"]["path"], f[2]) << status.dump();

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
