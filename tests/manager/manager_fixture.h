// Runs the real manager binary, which runs the real player on the test's own
// virtual display or a scripted stand-in, and reads the manager's lines as
// they come.
#pragma once
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

constexpr double LINE_TIMEOUT = 60;

// A port free for both TCP and UDP now.
inline int free_port() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int tcp = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(tcp, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      close(tcp);
      continue;
    }
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    bool both = bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(udp);
    close(tcp);
    if (both) return ntohs(a.sin_port);
  }
  return -1;
}

// "2026-12-08T18:34:36.123Z" in milliseconds since 1970.
inline long long unix_ms(const std::string& text) {
  struct tm tm = {};
  int ms = 0;
  sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
         &tm.tm_sec, &ms);
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<long long>(timegm(&tm)) * 1000 + ms;
}

// A directory of the test's own, removed afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "manager-test-XXXXXX";
    ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  std::string dir;
};

// The manager binary, its lines and the processes it starts.
class ManagerRunTest : public TempDirTest {
 protected:
  void TearDown() override {
    if (manager && manager->running()) {
      manager->kill_now(SIGKILL);
      manager->wait_exit(10);
    }
    TempDirTest::TearDown();
  }

  std::string write_playlist(const std::vector<std::string>& paths) {
    std::string path = dir + "/playlist.txt";
    std::ofstream out(path);
    out << "# written by the test\n";
    for (const auto& p : paths) out << p << "\n";
    return path;
  }

  // What the manager (and so its player) gets in its environment.
  virtual std::vector<std::pair<std::string, std::string>> environment() const = 0;

  void start(std::vector<std::string> args) {
    PlayerClient::Options opts;
    opts.binary = MANAGER_BINARY;
    // Many managers run at once here: none takes the API's fixed port unless asked.
    if (std::find(args.begin(), args.end(), "--http") == args.end()) args.insert(args.begin(), "--no-http");
    // Files are copied in just before: taken at once, unless a test asks.
    if (std::find(args.begin(), args.end(), "--settle-time") == args.end())
      args.insert(args.begin(), {"--settle-time", "0"});
    opts.args = std::move(args);
    opts.env = environment();
    opts.auto_ack = false;  // the manager answers the player; its own lines are no events
    manager = std::make_unique<PlayerClient>();
    ASSERT_TRUE(manager->start(opts));
  }

  // Index of the first line equal to `exact` at or after `from`, failing the test on time-out.
  int expect_line(const std::string& exact, size_t from, double timeout = LINE_TIMEOUT) {
    int at = manager->wait_for_line(exact, timeout, from);
    EXPECT_GE(at, 0) << "no line: " << exact << "\n" << dump();
    return at;
  }

  static std::string now_playing(int pos, int count, const std::string& path) {
    return "[manager] now playing " + std::to_string(pos) + "/" + std::to_string(count) + ": " + path;
  }
  // A "finished" line up to the time the file was on screen, which follows.
  static std::string finished(int pos, int count, const std::string& path) {
    return "[manager] finished " + std::to_string(pos) + "/" + std::to_string(count) + ": " + path + " (on screen ";
  }
  static std::string without_time(const std::string& finished_line) {
    return finished_line.substr(0, finished_line.rfind(" (on screen ") + strlen(" (on screen "));
  }
  static double on_screen_seconds(const std::string& finished_line) {
    size_t at = finished_line.rfind(" (on screen ");
    return at == std::string::npos ? -1 : std::atof(finished_line.c_str() + at + strlen(" (on screen "));
  }

  // The manager's own lines that start with `head` (after "[manager] ").
  std::vector<std::string> own_lines(const std::string& head) const {
    std::vector<std::string> out;
    for (const auto& l : manager->lines())
      if (l.rfind("[manager] " + head, 0) == 0) out.push_back(l);
    return out;
  }

  // The port of the manager's HTTP API, from its line.
  int api_port() {
    const std::string head = "[manager] HTTP API on http://127.0.0.1:";
    int at = manager->wait_for_substring(head, LINE_TIMEOUT);
    EXPECT_GE(at, 0) << dump();
    return at < 0 ? -1 : std::atoi(manager->line(at).c_str() + head.size());
  }

  // The player's pid from the last "started the player" line.
  pid_t player_pid() const {
    auto started = own_lines("started the player, pid ");
    if (started.empty()) return -1;
    return static_cast<pid_t>(std::atoi(started.back().c_str() + strlen("[manager] started the player, pid ")));
  }

  // True while the process runs; a zombie waiting for its parent to collect it has ended.
  static bool process_exists(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (pid <= 0 || !std::getline(stat, text)) return false;
    size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] != 'Z';
  }

  static bool wait_process_gone(pid_t pid, double timeout_s) {
    for (int i = 0; i < timeout_s * 10; ++i) {
      if (!process_exists(pid)) return true;
      usleep(100000);
    }
    return !process_exists(pid);
  }

  // The manager's own lines and the last lines of all; everything goes to a
  // file named after the test, kept for a closer look.
  std::string dump() const {
    if (!manager) return "";
    auto all = manager->lines();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string saved = ::testing::TempDir() + "manager-" + (info ? info->name() : "test") + "-" +
                        std::to_string(getpid()) + ".log";
    {
      std::ofstream file(saved);
      for (const auto& l : all) file << l << "\n";
    }
    std::string out = "--- manager lines (every line: " + saved + ") ---\n";
    for (const auto& l : all)
      if (l.rfind("[manager]", 0) == 0) out += l + "\n";
    out += "--- last 60 lines ---\n";
    for (size_t i = all.size() > 60 ? all.size() - 60 : 0; i < all.size(); ++i) out += all[i] + "\n";
    return out + "--- stderr ---\n" + manager->stderr_text();
  }

  std::unique_ptr<PlayerClient> manager;
};

// With the real player, on a display of the test's own.
class ManagerTest : public ManagerRunTest {
 protected:
  std::vector<std::pair<std::string, std::string>> environment() const override {
    return {{"DISPLAY", display.name()}};
  }

  VirtualDisplay display;
};
