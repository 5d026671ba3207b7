// The manager's HTTP API under the clients that hold a server's connections,
// with the real manager and player (see docs/PERFORMANCE.md, "The API under
// load"). While each load runs, a fresh client asks /healthz and /status in
// turn, a new connection each time, ten times a second; the figures are its
// answer times (p50 / p99 / max, and how many took over a second or got no
// answer within 5 s), the manager's descriptors, threads and memory during
// and after each load, and the switches of the sign meanwhile (from its
// proof of play: how long after one file's last picture the next one's
// first came). Loads: keep-alive pollers (/healthz and /status in turn,
// every 1.9 s), slow senders (a byte a second), slow readers of
// /snapshot.png (64 bytes every 100 ms through a 4 KB window), wrk at its
// highest rate, then all at once.
//   api_load --manager PATH [--label TEXT] [--seconds S] [--wrk-seconds S] [--only NAME]
//   api_load --port P [--pid PID] ...   an HTTP server already running (no switches)
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "support/http_crowd.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;

volatile sig_atomic_t interrupted = 0;
void on_signal(int) { interrupted = 1; }

struct Load {
  std::string name;
  HttpCrowd::Plan plan;
  bool wrk = false;
};

struct Figures {
  std::string name;
  std::vector<double> answer_ms;  // answered only
  int asked = 0, failed = 0, over_1s = 0;
  int fds_max = 0, fds_after = 0, threads_max = 0;
  double rss_max_mb = 0, rss_after_mb = 0;
  int polls_sent = 0, polls_answered = 0;
  std::string wrk_summary;
  long long wall_from_ms = 0, wall_to_ms = 0;
};

long long wall_ms() {
  return std::chrono::duration_cast<ms>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Usage {
  int fds = 0, threads = 0;
  double rss_mb = 0;
};

Usage usage_of(pid_t pid) {
  Usage u;
  if (pid <= 0) return u;
  std::string proc = "/proc/" + std::to_string(pid);
  u.fds = dir_entries(proc + "/fd");
  u.threads = dir_entries(proc + "/task");
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) u.rss_mb = std::atof(line.c_str() + 6) / 1024;
  return u;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(std::ceil(p * v.size())) - 1];
}

// wrk's own lines worth keeping: its rate, errors and latency percentiles.
std::string wrk_summary(const std::string& out) {
  std::string summary;
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);) {
    auto at = l.find_first_not_of(' ');
    if (at == std::string::npos) continue;
    l = l.substr(at);
    if (l.rfind("Requests/sec:", 0) == 0 || l.rfind("Socket errors:", 0) == 0 || l.rfind("Non-2xx", 0) == 0 ||
        l.rfind("50%", 0) == 0 || l.rfind("99%", 0) == 0)
      summary += (summary.empty() ? "" : "; ") + l;
  }
  return summary;
}

// Runs one load while the fresh client asks, then lets the manager settle.
Figures run_load(const Load& load, int port, pid_t pid, double seconds, double wrk_seconds, const Usage& before) {
  Figures f;
  f.name = load.name;
  f.wall_from_ms = wall_ms();
  std::unique_ptr<HttpCrowd> crowd;
  if (load.plan.pollers || load.plan.senders || load.plan.readers) crowd = std::make_unique<HttpCrowd>(port, load.plan);
  std::string wrk_out;
  std::thread wrk;
  double length = seconds;
  if (load.wrk) {
    length = wrk_seconds;
    std::string cmd = "nice -n 19 wrk -t2 -c32 -d" + std::to_string(static_cast<int>(wrk_seconds)) +
                      "s --latency http://127.0.0.1:" + std::to_string(port) + "/healthz 2>&1";
    wrk = std::thread([cmd, &wrk_out] {
      FILE* p = popen(cmd.c_str(), "r");
      char buffer[4096];
      while (p && fgets(buffer, sizeof buffer, p)) wrk_out += buffer;
      if (p) pclose(p);
    });
  }
  std::this_thread::sleep_for(ms(1000));  // the load is under way
  auto until = Clock::now() + ms(static_cast<long>(length * 1000) - 1000);
  auto next = Clock::now();
  for (int i = 0; Clock::now() < until && !interrupted; ++i) {
    httplib::Client fresh("127.0.0.1", port);
    fresh.set_connection_timeout(5, 0);
    fresh.set_read_timeout(5, 0);
    fresh.set_write_timeout(5, 0);
    auto t0 = Clock::now();
    auto res = fresh.Get(i % 2 ? "/status" : "/healthz");
    double took = bench::ms_between(t0, Clock::now());
    ++f.asked;
    if (res && (res->status == 200 || res->status == 503)) {
      f.answer_ms.push_back(took);
      if (took > 1000) ++f.over_1s;
    } else {
      ++f.failed;
    }
    if (i % 5 == 0) {
      Usage u = usage_of(pid);
      f.fds_max = std::max(f.fds_max, u.fds);
      f.threads_max = std::max(f.threads_max, u.threads);
      f.rss_max_mb = std::max(f.rss_max_mb, u.rss_mb);
    }
    next += ms(100);
    std::this_thread::sleep_until(std::max(next, Clock::now()));
  }
  if (wrk.joinable()) wrk.join();
  if (crowd) {
    f.polls_sent = crowd->polls_sent();
    f.polls_answered = crowd->polls_answered();
    crowd->stop();
  }
  f.wall_to_ms = wall_ms();
  f.wrk_summary = wrk_summary(wrk_out);
  // Back where it was? Connections end within the API's time-outs.
  Usage after = usage_of(pid);
  for (int i = 0; i < 60 && after.fds > before.fds && !interrupted; ++i) {
    std::this_thread::sleep_for(ms(250));
    after = usage_of(pid);
  }
  f.fds_after = after.fds;
  f.rss_after_mb = after.rss_mb;
  return f;
}

// "2026-12-08T18:34:36.123Z" in milliseconds since the epoch.
long long unix_ms(const std::string& t) {
  struct tm tm {};
  if (!strptime(t.c_str(), "%Y-%m-%dT%H:%M:%S", &tm)) return 0;
  return static_cast<long long>(timegm(&tm)) * 1000 + std::atoi(t.c_str() + 20);
}

struct Switches {
  int shown = 0;
  double max_gap_ms = 0, mean_gap_ms = 0, max_short_s = 0;
};

// From the proof of play: the showings that started within the window.
Switches switches_in(const std::string& log, long long from, long long to) {
  Switches s;
  std::ifstream in(log);
  long long last_end = 0;
  double gaps = 0;
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    auto r = nlohmann::json::parse(line, nullptr, false);
    if (!r.is_object()) continue;
    long long start = unix_ms(r["start"]), end = unix_ms(r["end"]);
    if (start >= from && start <= to) {
      ++s.shown;
      s.max_short_s = std::max(s.max_short_s, 4.0 - r["seconds"].get<double>());
      if (last_end) {
        double gap = static_cast<double>(start - last_end);
        s.max_gap_ms = std::max(s.max_gap_ms, gap);
        gaps += gap;
        ++n;
      }
    }
    last_end = end;
  }
  s.mean_gap_ms = n ? gaps / n : 0;
  return s;
}

void print_figures(const std::string& label, const std::vector<Figures>& all, const std::string& play_log,
                   const Usage& start) {
  printf("\n%s: manager at rest: %d descriptors, %d threads, %.1f MB resident\n\n", label.c_str(), start.fds,
         start.threads, start.rss_mb);
  printf("| load | fresh client: answered / asked | p50 | p99 | max | over 1 s | descriptors during / after | "
         "threads | memory during / after (MB) | polls answered / sent | switches: shown, gap mean / max, "
         "shortest |\n|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const auto& f : all) {
    std::string sw = "–";
    if (!play_log.empty()) {
      Switches s = switches_in(play_log, f.wall_from_ms, f.wall_to_ms);
      char text[128];
      snprintf(text, sizeof text, "%d, %.0f / %.0f ms, %.3f s short", s.shown, s.mean_gap_ms, s.max_gap_ms,
               s.max_short_s);
      sw = text;
    }
    printf("| %s | %zu / %d | %.1f ms | %.1f ms | %.1f ms | %d | %d / %d | %d | %.1f / %.1f | %d / %d | %s |\n",
           f.name.c_str(), f.answer_ms.size(), f.asked, percentile(f.answer_ms, 0.5), percentile(f.answer_ms, 0.99),
           f.answer_ms.empty() ? 0.0 : *std::max_element(f.answer_ms.begin(), f.answer_ms.end()), f.over_1s,
           f.fds_max, f.fds_after, f.threads_max, f.rss_max_mb, f.rss_after_mb, f.polls_answered, f.polls_sent,
           sw.c_str());
  }
  for (const auto& f : all)
    if (!f.wrk_summary.empty()) printf("\n%s, wrk: %s\n", f.name.c_str(), f.wrk_summary.c_str());
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string manager_binary, player = PLAYER_BINARY, label = "run", only, clips = BENCH_API_CLIPS_DIR;
  int port = 0, pid_arg = 0;
  double seconds = 20, wrk_seconds = 30;
  bench::OptionParser options;
  options.text("--manager", manager_binary);
  options.text("--player", player);
  options.text("--label", label);
  options.text("--only", only);
  options.text("--clips", clips);
  options.number("--port", port);
  options.number("--pid", pid_arg);
  options.real("--seconds", seconds);
  options.real("--wrk-seconds", wrk_seconds);
  if (!options.parse(argc, argv) || (manager_binary.empty() == (port == 0))) {
    fprintf(stderr, "usage: %s --manager PATH | --port P [--pid PID]  [--player PATH] [--label TEXT] "
                    "[--seconds S] [--wrk-seconds S] [--only NAME] [--clips DIR]\n", argv[0]);
    return 2;
  }
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  signal(SIGPIPE, SIG_IGN);

  PlayerClient manager;
  pid_t pid = pid_arg;
  std::string play_log;
  char dir_template[] = "/tmp/api_load.XXXXXX";
  if (!manager_binary.empty()) {
    std::string dir = mkdtemp(dir_template);
    play_log = dir + "/play.log";
    std::ofstream list(dir + "/playlist");
    for (const char* name : {"a", "b", "c", "d"}) list << clips << "/" << name << ".mp4\n";
    list.close();
    PlayerClient::Options opts;
    opts.binary = manager_binary;
    opts.args = {"--player", player, "--http", "127.0.0.1:0", "--play-log", play_log, "--quiet-player",
                 dir + "/playlist"};
    opts.auto_ack = false;
    opts.max_lines = 2000;
    opts.own_process_group = true;
    opts.die_with_parent = true;
    if (!manager.start(opts)) {
      fprintf(stderr, "cannot start %s\n", manager_binary.c_str());
      return 1;
    }
    const std::string head = "[manager] HTTP API on http://127.0.0.1:";
    int at = manager.wait_for_substring(head, 20);
    if (at < 0 || manager.wait_for_substring("[manager] now playing ", 30) < 0) {
      fprintf(stderr, "the manager did not start playing with its API\n");
      return 1;
    }
    port = std::atoi(manager.line(at).c_str() + head.size());
    pid = manager.pid();
    std::this_thread::sleep_for(std::chrono::seconds(5));  // settled, a few switches in
  }

  HttpCrowd::Plan pollers;
  pollers.poll_every = ms(1900);
  pollers.poll_paths = {"/healthz", "/status"};
  std::vector<Load> loads;
  loads.push_back({"none", {}, false});
  for (int n : {8, 32, 200}) {
    Load l{std::to_string(n) + " keep-alive pollers", pollers, false};
    l.plan.pollers = n;
    loads.push_back(l);
  }
  Load senders{"32 slow senders", {}, false};
  senders.plan.senders = 32;
  senders.plan.byte_every = ms(1000);
  loads.push_back(senders);
  Load readers{"32 slow readers of /snapshot.png", {}, false};
  readers.plan.readers = 32;
  readers.plan.read_path = "/snapshot.png";
  readers.plan.read_bytes = 64;
  readers.plan.read_every = ms(100);
  loads.push_back(readers);
  loads.push_back({"wrk, 32 connections", {}, true});
  Load all{"all at once", pollers, true};
  all.plan.pollers = 200;
  all.plan.senders = 32;
  all.plan.byte_every = ms(1000);
  all.plan.readers = 32;
  all.plan.read_path = "/snapshot.png";
  all.plan.read_bytes = 64;
  all.plan.read_every = ms(100);
  loads.push_back(all);

  Usage start = usage_of(pid);
  std::vector<Figures> figures;
  for (const auto& load : loads) {
    if (interrupted) break;
    if (!only.empty() && load.name.find(only) == std::string::npos && load.name != "none") continue;
    fprintf(stderr, "%s: %s ...\n", label.c_str(), load.name.c_str());
    figures.push_back(run_load(load, port, pid, seconds, wrk_seconds, start));
  }
  bool restarted = !manager_binary.empty() && manager.count_substring("[manager] started the player") != 1;
  print_figures(label, figures, play_log, start);
  if (!manager_binary.empty()) {
    printf("\nplayers started: %d; skipped files: %d\n", manager.count_substring("[manager] started the player"),
           manager.count_substring("[manager] skipping "));
    manager.kill_now(SIGTERM);
    manager.wait_exit(30);
  }
  return restarted ? 1 : 0;
}
