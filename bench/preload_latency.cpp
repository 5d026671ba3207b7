// Preload latency benchmark: how long a prompt manager waits from writing
// "preload <path>" to reading "Preload complete". The player runs as a child
// process, as in production; every event is answered at once. Each preload is
// switched to, and the next one is sent once the old branch has been released.
// See docs/PERFORMANCE.md.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench_support.h"
#include "client/player_client.h"
#include "protocol/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string player = BENCH_PLAYER_BINARY;
  std::string clips_dir = BENCH_DEFAULT_MID_CLIPS_DIR;
  int rounds = 25;
  int jitter_ms = 100;  // spread over one loop period, so sends do not lock to the loop's phase
  unsigned seed = 1;
  bool no_sound = false;
  std::string log_path = "preload_latency.log";
  std::string csv_path;
};

const char* const CLIPS[] = {"red.mp4", "green.mp4", "blue.mp4", "yellow.mp4", "white.mp4"};
constexpr int CLIP_COUNT = sizeof CLIPS / sizeof CLIPS[0];
constexpr double EVENT_TIMEOUT = 30;

// The player's own lines that mark the stages of a preload, by prefix.
struct Mark {
  const char* name;
  std::string prefix;
};
const Mark MARKS[] = {
    {"command read", std::string(protocol::COMMAND_TAKEN) + protocol::CMD_PRELOAD},
    {"ratio probe starts", protocol::RATIO_PROBE_START},
    {"preload ratio read", protocol::RATIO_PROBE_OUTCOME},
    {"current ratio probed", protocol::RATIO_CURRENT},
    {"video pad linked", protocol::VIDEO_PAD_LINKED},
    {"audio pad linked", protocol::AUDIO_PAD_LINKED},
    {"ratio report", protocol::RATIO_REPORT},
};

// Lines with the time they were read.
class Recorder {
 public:
  void add(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({Clock::now(), line});
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
  }
  // Time of the first line from `from` on that starts with `prefix`.
  bool first(const std::string& prefix, size_t from, Clock::time_point& at) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = from; i < lines_.size(); ++i)
      if (lines_[i].second.rfind(prefix, 0) == 0) {
        at = lines_[i].first;
        return true;
      }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<Clock::time_point, std::string>> lines_;
};

using bench::ms_between;
using bench::Stats;
using bench::stats_of;

void usage() {
  fprintf(stderr,
          "usage: preload_latency [--player PATH] [--clips DIR] [--rounds N] [--jitter MS] [--seed N]"
          " [--no-sound] [--log FILE] [--csv FILE]\n");
}

bool parse_options(int argc, char** argv, Options& o) {
  bench::OptionParser p;
  p.flag("--no-sound", o.no_sound);
  p.text("--player", o.player);
  p.text("--clips", o.clips_dir);
  p.number("--rounds", o.rounds);
  p.number("--jitter", o.jitter_ms);
  p.seed("--seed", o.seed);
  p.text("--log", o.log_path);
  p.text("--csv", o.csv_path);
  if (!p.parse(argc, argv) || o.rounds < 1 || o.jitter_ms < 0) {
    usage();
    return false;
  }
  return true;
}

std::string path_of(const Options& o, int i) { return o.clips_dir + "/" + CLIPS[i % CLIP_COUNT]; }

bool clips_present(const Options& o) {
  for (int i = 0; i < CLIP_COUNT; ++i)
    if (access(path_of(o, i).c_str(), R_OK) != 0) {
      fprintf(stderr, "missing clip %s\n", path_of(o, i).c_str());
      return false;
    }
  return true;
}

// Starts the player on the first clip and plays it; every line it writes is
// recorded with the time it was read.
bool start_playing(PlayerClient& player, Recorder& rec, const Options& o) {
  PlayerClient::Options po;
  po.binary = o.player;
  po.args = {path_of(o, 0)};
  if (o.no_sound) po.args.push_back("--no_sound");
  po.log_path = o.log_path;
  po.die_with_parent = true;
  player.set_line_handler([&rec](const std::string& line) { rec.add(line); });
  if (!player.start(po) || player.wait_for_line(protocol::READY, EVENT_TIMEOUT) < 0) {
    fprintf(stderr, "the player did not start\n");
    return false;
  }
  player.wait_for_substring(protocol::STARTED, EVENT_TIMEOUT);
  size_t from = player.line_count();
  player.send(protocol::CMD_PLAY);
  if (player.wait_for_line(protocol::PLAYING, EVENT_TIMEOUT, from) < 0) {
    fprintf(stderr, "the player did not start playing\n");
    return false;
  }
  return true;
}

struct Results {
  double first_total = -1;  // round 0, the first preload after start-up
  std::vector<double> totals, after_read;
  std::map<std::string, std::vector<double>> stage_times;
};

FILE* open_csv(const std::string& path) {
  FILE* csv = path.empty() ? nullptr : fopen(path.c_str(), "w");
  if (csv) {
    fprintf(csv, "round,total_ms");
    for (const Mark& m : MARKS) fprintf(csv, ",%s", m.name);
    fprintf(csv, "\n");
  }
  return csv;
}

// One preload, from "preload" written to "Preload complete" read, with the
// time of each stage on the way.
bool time_preload(PlayerClient& player, Recorder& rec, const Options& o, int round, Results& res, FILE* csv) {
  std::string path = path_of(o, round + 1);
  size_t start_line = player.line_count();
  Clock::time_point sent = Clock::now();
  player.send(protocol::CMD_PRELOAD + path);
  int done = player.wait_for(
      [](const std::string& l) { return l == protocol::PRELOAD_COMPLETE || l == protocol::PRELOAD_ERROR; },
      EVENT_TIMEOUT, start_line);
  Clock::time_point complete;
  // The line handler, which takes the time, may run just after the wait returns.
  bool timed = false;
  for (int i = 0; i < 1000 && done >= 0 && !(timed = rec.first(protocol::PRELOAD_COMPLETE, start_line, complete));
       ++i)
    usleep(1000);
  if (done < 0 || player.line(done) != protocol::PRELOAD_COMPLETE || !timed) {
    fprintf(stderr, "round %d: no \"Preload complete\" (%s)\n", round, done < 0 ? "time-out" : "error");
    return false;
  }
  double total = ms_between(sent, complete);
  Clock::time_point read_at;
  if (round == 0) {
    res.first_total = total;
  } else {
    res.totals.push_back(total);
    if (rec.first(MARKS[0].prefix, start_line, read_at)) res.after_read.push_back(ms_between(read_at, complete));
  }
  if (csv) fprintf(csv, "%d,%.1f", round, total);
  for (const Mark& m : MARKS) {
    Clock::time_point at;
    bool seen = rec.first(m.prefix, start_line, at) && at <= complete;
    if (seen && round > 0) res.stage_times[m.name].push_back(ms_between(sent, at));
    if (csv) fprintf(csv, seen ? ",%.1f" : ",", seen ? ms_between(sent, at) : 0.0);
  }
  if (csv) fprintf(csv, "\n");
  fprintf(stderr, "preload %d/%d: %.1f ms\n", round, o.rounds, total);
  return true;
}

// Switches to the preload, then waits until the old branch is released: a
// preload during that cleanup is refused.
bool switch_and_wait_cleanup(PlayerClient& player, int round) {
  size_t before_switch = player.line_count();
  player.send(protocol::CMD_SWITCH);
  if (player.wait_for_line(protocol::SWITCH_DONE, EVENT_TIMEOUT, before_switch) < 0) {
    fprintf(stderr, "round %d: the switch did not complete\n", round);
    return false;
  }
  if (round > 0 && player.wait_for_substring(protocol::CLEANUP_TAG, 10, before_switch) >= 0) {
    player.wait_for([](const std::string& l) {
      return l.rfind(protocol::CLEANUP_CLEAN, 0) == 0 || l.rfind(protocol::CLEANUP_LEAKED, 0) == 0;
    }, 10, before_switch);
  }
  return true;
}

void print_results(const Options& o, const Results& res) {
  Stats s = stats_of(res.totals);
  printf("preload -> \"Preload complete\", %zu preloads after the first, %s\n", res.totals.size(),
         o.no_sound ? "no sound" : "with sound");
  printf("  first preload after start-up: %.1f ms\n", res.first_total);
  printf("  median %.1f ms, p90 %.1f ms, min %.1f ms, max %.1f ms\n", s.median, s.p90, s.min, s.max);
  if (!res.after_read.empty()) {
    Stats r = stats_of(res.after_read);
    printf("  from the command being read: median %.1f ms, p90 %.1f ms, min %.1f ms, max %.1f ms\n", r.median, r.p90,
           r.min, r.max);
  }
  printf("median time of each stage after \"preload\" was written (ms):\n");
  for (const Mark& m : MARKS) {
    auto it = res.stage_times.find(m.name);
    if (it == res.stage_times.end() || it->second.empty()) {
      printf("  %-22s (not seen)\n", m.name);
      continue;
    }
    Stats st = stats_of(it->second);
    printf("  %-22s %7.1f  (min %.1f, max %.1f, n=%zu)\n", m.name, st.median, st.min, st.max, it->second.size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_options(argc, argv, o)) return 2;
  if (!clips_present(o)) return 2;
  Recorder rec;
  PlayerClient player;
  if (!start_playing(player, rec, o)) return 1;

  std::mt19937 random(o.seed);
  Results res;
  FILE* csv = open_csv(o.csv_path);
  // Round 0 is the first preload after start-up; it is reported on its own.
  for (int round = 0; round <= o.rounds; ++round) {
    if (!time_preload(player, rec, o, round, res, csv) || !switch_and_wait_cleanup(player, round)) return 1;
    int jitter = o.jitter_ms > 0 ? static_cast<int>(random() % static_cast<unsigned>(o.jitter_ms)) : 0;
    usleep(static_cast<useconds_t>((200 + jitter) * 1000));
  }
  if (csv) fclose(csv);
  player.stop(10, 5);
  print_results(o, res);
  return 0;
}
