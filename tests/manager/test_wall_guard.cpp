// A wall that nobody can stop: the real managers with stand-in players, their
// wall's plan port flooded, approached without the token, its plan lines
// bent on the way and its leader gone silent behind a relay; and a player
// that will not place a switch, which must not leave the picture frozen.
#include <arpa/inet.h>
#include <httplib.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "standin_fixture.h"

namespace {

using namespace std::chrono_literals;

// A TCP relay on loopback between a follower and its leader: it passes what
// each says, can go silent (reads and drops everything, and when the leader
// closes, the follower hears nothing of it: a board unplugged) and can slip
// a line of its own to the follower.
class Relay {
 public:
  explicit Relay(int to_port) : to_port_(to_port) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_, 8);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~Relay() {
    stop_ = true;
    thread_.join();
    close(listen_);
  }
  int port() const { return port_; }
  void set_silent(bool silent) { silent_ = silent; }
  // Closes both sides of every connection: the follower must connect again.
  void cut() { cut_ = true; }
  int accepted() const { return accepted_; }
  void say_to_follower(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    injected_ += line + "\n";
  }

 private:
  void run() {
    std::vector<std::pair<int, int>> pairs;  // follower, leader
    while (!stop_) {
      std::vector<pollfd> fds = {{listen_, POLLIN, 0}};
      for (auto [f, l] : pairs) fds.insert(fds.end(), {{f, POLLIN, 0}, {l, POLLIN, 0}});  // l < 0: ignored
      poll(fds.data(), fds.size(), 50);
      if (fds[0].revents & POLLIN) {
        int f = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(to_port_));
        if (f >= 0 && connect(l, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
          pairs.emplace_back(f, l);
          accepted_++;
        } else {
          if (f >= 0) close(f);
          close(l);
        }
      }
      std::string injected;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        injected.swap(injected_);
      }
      std::vector<std::pair<int, int>> kept;
      bool cut = cut_.exchange(false);
      for (size_t i = 0; i < pairs.size(); ++i) {
        auto [f, l] = pairs[i];
        bool open = !cut && (l >= 0 || silent_);  // cut off from its leader: closed once the relay speaks again
        if (!injected.empty() && send(f, injected.data(), injected.size(), MSG_NOSIGNAL) < 0) open = false;
        for (int side = 0; side < 2 && open; ++side) {
          size_t at = 1 + 2 * i + side;  // a pair accepted just now was not polled yet
          if (at >= fds.size() || !(fds[at].revents & (POLLIN | POLLHUP | POLLERR))) continue;
          char buf[4096];
          ssize_t n = recv(side ? l : f, buf, sizeof buf, MSG_DONTWAIT);
          if ((n == 0 || (n < 0 && errno != EAGAIN)) && side == 1 && silent_) {
            close(l);  // the leader closed: kept from the follower
            l = -1;
          } else if (n == 0 || (n < 0 && errno != EAGAIN)) {
            open = false;
          } else if (n > 0 && !silent_ && send(side ? f : l, buf, static_cast<size_t>(n), MSG_NOSIGNAL) < 0) open = false;
        }
        if (open) {
          kept.emplace_back(f, l);
        } else {
          close(f);
          if (l >= 0) close(l);
        }
      }
      pairs.swap(kept);
    }
    for (auto [f, l] : pairs) {
      close(f);
      if (l >= 0) close(l);
    }
  }

  int to_port_, port_ = 0, listen_ = -1;
  std::atomic<bool> stop_{false}, silent_{false}, cut_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::string injected_;
  std::thread thread_;
};

// Boards of a wall with stand-in players that start and then only listen.
class WallGuard : public TempDirTest {
 protected:
  void TearDown() override {
    for (auto& m : managers)
      if (m->running()) {
        m->kill_now(SIGTERM);
        m->wait_exit(20);
      }
    TempDirTest::TearDown();
  }

  PlayerClient& start_board(const std::string& name, std::vector<std::string> args) {
    std::string home = dir + "/" + name;
    std::filesystem::create_directories(home);
    std::ofstream(home + "/script") << "run *\nsay ready\nawait play\nevent playing\n";
    std::ofstream(home + "/list.txt") << dir << "/a.mp4\n" << dir << "/b.mp4\n";
    PlayerClient::Options opts;
    opts.binary = MANAGER_BINARY;
    opts.args = {"--player", STANDIN_PLAYER, "--http", "127.0.0.1:0", "--preload-timeout", "600"};
    opts.args.insert(opts.args.end(), args.begin(), args.end());
    opts.args.push_back(home + "/list.txt");
    opts.env = {{"STANDIN_SCRIPT", home + "/script"}, {"STANDIN_DIR", home}};
    opts.auto_ack = false;
    managers.push_back(std::make_unique<PlayerClient>());
    EXPECT_TRUE(managers.back()->start(opts));
    return *managers.back();
  }

  static int api_port_of(PlayerClient& m) {
    const std::string head = "[manager] HTTP API on http://127.0.0.1:";
    int at = m.wait_for_substring(head, LINE_TIMEOUT);
    return at < 0 ? -1 : std::atoi(m.line(at).c_str() + head.size());
  }

  static nlohmann::json wall_of(int api) {
    httplib::Client client("127.0.0.1", api);
    client.set_read_timeout(5, 0);
    auto res = client.Get("/status");
    if (!res || res->status != 200) return nullptr;
    return nlohmann::json::parse(res->body, nullptr, false)["wall"];
  }

  // Waits until the board's wall says `key` is `value`.
  static bool wait_wall(int api, const char* key, const nlohmann::json& value, double seconds) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(100ms)) {
      nlohmann::json w = wall_of(api);
      if (w.is_object() && w[key] == value) return true;
    }
    return false;
  }

  static std::string lines_of(PlayerClient& m) {
    std::string out;
    for (const auto& l : m.lines())
      if (l.rfind("[manager]", 0) == 0) out += l + "\n";
    return out;
  }

  std::vector<std::unique_ptr<PlayerClient>> managers;
};

// Silent connections from many addresses, opened again as soon as the
// leader closes them, for as long as the flood lasts.
void flood(int port, std::chrono::seconds length) {
  std::vector<int> open;
  auto end = std::chrono::steady_clock::now() + length;
  while (std::chrono::steady_clock::now() < end) {
    for (int host = 2; host < 40; ++host) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in from{}, to{};
      from.sin_family = to.sin_family = AF_INET;
      from.sin_addr.s_addr = htonl(0x7f000000 | host);
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      to.sin_port = htons(static_cast<uint16_t>(port));
      bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
      open.push_back(fd);
    }
    std::this_thread::sleep_for(200ms);
    // Those the leader closed are opened again.
    std::vector<int> still;
    for (int fd : open) {
      char c;
      ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINPROGRESS && errno != ENOTCONN)) {
        close(fd);
      } else {
        still.push_back(fd);
      }
    }
    open.swap(still);
  }
  for (int fd : open) close(fd);
}

}  // namespace

// Only the wall's boards reach its plan. A follower with the token stays
// with its leader through a flood of silent connections from many
// addresses; one without it is refused; a plan line with a time out of
// bounds is refused and the board plays on; a leader gone silent without
// closing (a board unplugged) is taken for gone, and taken back when it
// speaks again.
TEST_F(WallGuard, OnlyTheWallsBoardsReachThePlan) {
  int port = free_port();
  ASSERT_GT(port, 0);
  std::ofstream(dir + "/token") << "a-token-of-the-wall-0123456789\n";
  std::ofstream(dir + "/a.mp4") << "x";
  std::ofstream(dir + "/b.mp4") << "x";
  std::string address = "127.0.0.1:" + std::to_string(port);
  PlayerClient& leader = start_board("leader", {"--wall-lead", address, "--wall-token-file", dir + "/token"});
  int leader_api = api_port_of(leader);
  ASSERT_GT(leader_api, 0) << lines_of(leader);
  Relay relay(port);
  PlayerClient& follower = start_board(
      "follower", {"--wall-follow", "127.0.0.1:" + std::to_string(relay.port()), "--wall-token-file", dir + "/token"});
  PlayerClient& stranger = start_board("stranger", {"--wall-follow", address});
  int follower_api = api_port_of(follower), stranger_api = api_port_of(stranger);
  ASSERT_TRUE(wait_wall(follower_api, "leader_connected", true, 20)) << lines_of(follower);
  EXPECT_GE(stranger.wait_for_substring("asks for the wall's token", LINE_TIMEOUT), 0) << lines_of(stranger);
  EXPECT_EQ(wall_of(stranger_api)["leader_connected"], false) << lines_of(stranger);
  EXPECT_TRUE(wait_wall(leader_api, "followers", 1, 10)) << lines_of(leader);

  // The flood holds what it can of the port; the follower loses its
  // connection in the middle of it and must find its way back in.
  std::thread flooder([port] { flood(port, 10s); });
  std::this_thread::sleep_for(3s);
  EXPECT_TRUE(wait_wall(follower_api, "leader_connected", true, 1)) << lines_of(follower);
  int connections = relay.accepted();
  relay.cut();
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(wait_wall(follower_api, "leader_connected", true, 4)) << "kept out by the flood\n" << lines_of(follower);
  EXPECT_GT(relay.accepted(), connections) << "the follower did not connect again";
  nlohmann::json during = wall_of(leader_api);
  flooder.join();
  EXPECT_EQ(during["followers"], 1) << lines_of(leader);

  size_t before = follower.line_count();
  relay.say_to_follower("item next 99 18446744073709551615 4000000000 a.mp4");
  EXPECT_GE(follower.wait_for_substring("the wall's plan is refused", 10, before), 0) << lines_of(follower);
  EXPECT_EQ(follower.count_substring("following the wall: item 99", before), 0) << lines_of(follower);

  relay.set_silent(true);
  EXPECT_TRUE(wait_wall(follower_api, "leader_connected", false, 10)) << "a silent leader was not taken for gone\n"
                                                                      << lines_of(follower);
  EXPECT_TRUE(follower.running());
  relay.set_silent(false);
  EXPECT_TRUE(wait_wall(follower_api, "leader_connected", true, 15)) << lines_of(follower);
}

// A placement the player will not take, at the start, for a file, or when
// it is placed again sooner, is followed at once by the switch at the end
// (a prompt switch when nothing is on screen or a file was asked for): the
// picture never waits for a switch that is not coming.
TEST_F(ManagerDecisions, WallPlacementsThePlayerRefusesAreSwitchedAtTheEnd) {
  const Lines f = files({"a", "b", "c", "d"});
  int port = free_port();
  ASSERT_GT(port, 0);
  const std::string placed = "[SWITCH AT] Armed - the new file shows at clock time 1 (running time 1, in 3.000 s)";
  run(Lines{"run 1", say(READY), await(CMD_PLAY), emit(PLAYING), await(CMD_PRELOAD + f[0]), emit(PRELOAD_COMPLETE),
            await("switch_at *"), say("[SWITCH AT] REJECTED - the preload cannot take over on the clock"),
            await(CMD_SWITCH), say(SWITCH_DONE), await(CMD_PRELOAD + f[1]), emit(PRELOAD_COMPLETE),
            await("switch_at *"), say(SWITCH_REJECTED_CLEANUP), await(CMD_SWITCH_AT_END), say(ARMED),
            say(ARMED_SWITCH_TAKEN), emit(END_OF_VIDEO), say(SWITCH_DONE), await(CMD_PRELOAD + f[2]),
            emit(PRELOAD_COMPLETE), await("switch_at *"), say(placed), "touch placed", await("switch_at *"),
            say("[SWITCH AT] REJECTED - clock time 5 is more than a day ahead"), await(CMD_SWITCH),
            say(SWITCH_DONE), await(CMD_PRELOAD + f[3])},
      f, {"--wall-lead", "127.0.0.1:" + std::to_string(port), "--http", "127.0.0.1:0"}, true);
  int api = api_port();
  wait_file("placed");
  // Asked for through the API, the file placed already comes sooner: placed again, and refused.
  httplib::Client client("127.0.0.1", api);
  auto res = client.Post("/next", "", "application/json");
  ASSERT_TRUE(res) << dump();
  EXPECT_EQ(res->status, 202);
  wait_player_line(got(CMD_PRELOAD + f[3]));
  stop_manager();
  EXPECT_EQ(own_lines("the player would not place the switch to ").size(), 3u) << dump();
  EXPECT_EQ(own_lines("now playing "), (Lines{now_playing(1, 4, f[0]), now_playing(2, 4, f[1]),
                                              now_playing(3, 4, f[2])}))
      << dump();
}
