// Soak of prompt switches: the real player, started as a manager starts it,
// on a display and a sound sink of its own, switched many times through files
// with stereo, mono, 5.1 and no sound. Every switch is `preload` and then
// `switch` written in the same write as the answer to "Preload complete", as a
// manager that acts at once sends them, while the current file still plays.
//
// It records any exit and any refusal, the player's open descriptors, threads
// and resident memory every so many switches, how long each switch takes, and
// on a sample of switches what the sound sink plays and what the screen shows.
// See docs/PERFORMANCE.md.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "protocol/protocol.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double EVENT_TIMEOUT_S = 30;

using bench::ms_between;

// ---------------------------------------------------------------- options

struct Options {
  int switches = 1000;
  int every = 100;        // counts taken after every this many switches
  int listen_every = 25;  // sound and picture checked after every this many switches
  int hold_ms = 0;        // pause after a switch before the next preload
  double listen_delay_s = 0.5;
  double listen_s = 0.5;
  int fd_slack = 4;
  int thread_slack = 6;
  double rss_slack_mib = 16;
  std::string clips_dir = ::clips_dir();
  std::string player = ::player_binary();
  std::string log_path = "switch_soak.log";
  std::string csv_path;
};

void usage() {
  fprintf(stderr,
          "usage: switch_soak [--switches N] [--every N] [--listen-every N] [--hold-ms MS]\n"
          "                   [--fd-slack N] [--thread-slack N] [--rss-slack-mib MIB]\n"
          "                   [--clips DIR] [--player PATH] [--log FILE] [--csv FILE]\n");
}

bool parse_options(int argc, char** argv, Options& o) {
  bench::OptionParser p;
  p.number("--switches", o.switches);
  p.number("--every", o.every);
  p.number("--listen-every", o.listen_every);
  p.number("--hold-ms", o.hold_ms);
  p.number("--fd-slack", o.fd_slack);
  p.number("--thread-slack", o.thread_slack);
  p.real("--rss-slack-mib", o.rss_slack_mib);
  p.text("--clips", o.clips_dir);
  p.text("--player", o.player);
  p.text("--log", o.log_path);
  p.text("--csv", o.csv_path);
  if (!p.parse(argc, argv) || o.switches < 1 || o.every < 1 || o.listen_every < 1 || o.hold_ms < 0) {
    usage();
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- clips

struct Clip {
  const char* file;
  const char* sound;
  double tone;  // 0: no sound
  Rgb colour;
};

// Round and round after the start-up file (red.mp4). Eight files, so that a
// sample every 25th switch comes to each of them in turn.
const Clip CYCLE[] = {
    {"green.mp4", "stereo", TONE_STEREO, GREEN},     {"mono.mp4", "mono", TONE_MONO, MAGENTA},
    {"blue.mp4", "stereo", TONE_STEREO, BLUE},       {"surround.mp4", "5.1", TONE_SURROUND, ORANGE},
    {"yellow.mp4", "stereo", TONE_STEREO, YELLOW},   {"silent.mp4", "none", 0, CYAN},
    {"white.mp4", "stereo", TONE_STEREO, WHITE},     {"red.mp4", "stereo", TONE_STEREO, RED},
};
constexpr int CYCLE_LENGTH = sizeof CYCLE / sizeof CYCLE[0];
const char* START_FILE = "red.mp4";

// ---------------------------------------------------------------- the player's lines

enum class Kind {
  Other,
  PreloadComplete,
  PreloadError,
  SwitchDone,
  SwitchRefused,  // "[SWITCH] ERROR ..." or "[SWITCH] REJECTED ..."
  SwitchIgnored,
  EndOfVideo,
  Crash,
  Reset,
  CleanupError,
  ProbeLeak,
};
constexpr int KIND_COUNT = static_cast<int>(Kind::ProbeLeak) + 1;

Kind kind_of(const std::string& line) {
  if (line == protocol::PRELOAD_COMPLETE) return Kind::PreloadComplete;
  if (line == protocol::PRELOAD_ERROR) return Kind::PreloadError;
  if (line == protocol::SWITCH_DONE) return Kind::SwitchDone;
  if (line.rfind(protocol::SWITCH_ERROR, 0) == 0 || line.rfind(protocol::SWITCH_REJECTED, 0) == 0)
    return Kind::SwitchRefused;
  if (line == protocol::SWITCH_IGNORED) return Kind::SwitchIgnored;
  if (line == protocol::END_OF_VIDEO) return Kind::EndOfVideo;
  if (line == protocol::CRASH) return Kind::Crash;
  if (line == protocol::RESET) return Kind::Reset;
  if (line.find(protocol::CLEANUP_ERROR_TAG) != std::string::npos) return Kind::CleanupError;
  // A file without sound has no audio probe to remove; the player says so
  // with the same words, naming no pad.
  if (line.find(protocol::PROBE_LEAKED) != std::string::npos && line.find("pad=(nil)") == std::string::npos)
    return Kind::ProbeLeak;
  return Kind::Other;
}

// The lines that matter here, with the time they were read. The client's own
// line store is bounded; these are few per switch.
class Seen {
 public:
  struct Line {
    Kind kind;
    Clock::time_point t;
    std::string text;
  };
  void add(const std::string& text) {
    Kind k = kind_of(text);
    if (k == Kind::Other) return;
    {
      std::lock_guard<std::mutex> lock(m_);
      lines_.push_back({k, Clock::now(), text});
      ++counts_[static_cast<int>(k)];
    }
    cv_.notify_all();
  }
  size_t mark() {
    std::lock_guard<std::mutex> lock(m_);
    return lines_.size();
  }
  int count(Kind k) {
    std::lock_guard<std::mutex> lock(m_);
    return counts_[static_cast<int>(k)];
  }
  std::vector<Line> since(size_t from) {
    std::lock_guard<std::mutex> lock(m_);
    return {lines_.begin() + static_cast<long>(std::min(from, lines_.size())), lines_.end()};
  }
  // The first line of one of the kinds at or after `from`; nothing on time-out
  // or once `gone` says the player has ended.
  std::optional<Line> wait(std::initializer_list<Kind> kinds, size_t from, double timeout_s,
                           const std::function<bool()>& gone) {
    auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(timeout_s * 1000));
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      for (size_t i = from; i < lines_.size(); ++i)
        if (std::find(kinds.begin(), kinds.end(), lines_[i].kind) != kinds.end()) return lines_[i];
      from = lines_.size();
      if (Clock::now() >= deadline) return std::nullopt;
      lock.unlock();
      bool ended = gone();
      lock.lock();
      if (ended && from == lines_.size()) return std::nullopt;
      cv_.wait_for(lock, std::chrono::milliseconds(200));
    }
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Line> lines_;
  int counts_[KIND_COUNT] = {};
};

// ---------------------------------------------------------------- the player's process

int entries(const std::string& dir) {
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++n;
    closedir(d);
  }
  return n;
}

long rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  return -1;
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

struct Counts {
  int after = 0;  // switches done
  int fds = 0, threads = 0;
  long rss = 0;  // KiB
  double elapsed_s = 0;
  std::string load;
  // Of the switches since the previous counts: median and longest whole cycle.
  double median_cycle_ms = 0, max_cycle_ms = 0;
};

Counts take_counts(pid_t pid, int after, Clock::time_point start) {
  std::string proc = "/proc/" + std::to_string(pid);
  Counts c;
  c.after = after;
  c.fds = entries(proc + "/fd");
  c.threads = entries(proc + "/task");
  c.rss = rss_kib(pid);
  c.elapsed_s = ms_between(start, Clock::now()) / 1000;
  c.load = load_average();
  return c;
}

// ---------------------------------------------------------------- records

struct SwitchTimes {
  int index = 0;
  std::string file;
  double preload_ms = 0;  // `preload` written -> "Preload complete" read (and `switch` written)
  double switch_ms = 0;   // `switch` written -> "[SWITCH] Command completed successfully!" read
  double cycle_ms = 0;
};

struct Sample {
  int index = 0;
  const Clip* clip = nullptr;
  SoundSink::Heard heard;
  bool sound_ok = false;
  bool picture_ok = false;
};

struct Stats {
  size_t n = 0;
  double median = 0, p90 = 0, p99 = 0, max = 0;
};

double nearest_rank(const std::vector<double>& sorted, double p) {
  size_t rank = static_cast<size_t>(std::ceil(p * sorted.size()));
  return sorted[std::min(sorted.size() - 1, rank > 0 ? rank - 1 : 0)];
}

Stats stats_of(std::vector<double> v) {
  Stats s;
  s.n = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.median = nearest_rank(v, 0.5);
  s.p90 = nearest_rank(v, 0.9);
  s.p99 = nearest_rank(v, 0.99);
  s.max = v.back();
  return s;
}

// ---------------------------------------------------------------- the run

class Soak {
 public:
  explicit Soak(const Options& o) : o_(o) {}

  std::vector<std::string> failures;
  std::vector<std::string> notes;
  std::vector<Counts> counts;
  std::vector<SwitchTimes> times;
  std::vector<Sample> samples;
  int refusals = 0;
  std::optional<int> exit_status;
  bool exited_early = false;
  std::string started_at;
  Seen seen;

  void run() {
    if (!display_.pixel()) {
      failures.push_back("no virtual display (Xvfb and ffmpeg's x11grab are needed)");
      return;
    }
    if (!sink_.ok()) {
      failures.push_back("no sound server to listen to (run under scripts/with-env.sh)");
      return;
    }
    if (!start_playing()) return;
    start_ = Clock::now();
    counts.push_back(take_counts(player_.pid(), 0, start_));
    for (int k = 1; k <= o_.switches; ++k) {
      if (!prompt_switch(k)) break;
      if (k % o_.every == 0 || k == o_.switches) {
        counts.push_back(take_counts(player_.pid(), k, start_));
        fill_cycle_times(counts.back(), counts[counts.size() - 2].after);
      }
      if (k % o_.listen_every == 0) listen_after(k);
      fprintf(stderr, "\rswitch %d/%d, refusals %d   ", k, o_.switches, refusals);
      if (o_.hold_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o_.hold_ms));
    }
    fprintf(stderr, "\n");
    finish();
  }

  const VirtualDisplay& display() const { return display_; }
  pid_t pid() const { return player_.pid(); }

 private:
  std::string path_of(const char* file) const { return o_.clips_dir + "/" + file; }

  bool gone() {
    if (exit_status) return true;
    exit_status = player_.wait_exit(0);
    return exit_status.has_value();
  }

  bool fail(const std::string& why) {
    failures.push_back(why);
    if (gone()) exited_early = true;
    return false;
  }

  bool start_playing() {
    PlayerClient::Options opts = player_options(display_, sink_, {path_of(START_FILE)});
    opts.binary = o_.player;
    opts.max_lines = 20000;
    opts.max_stderr_bytes = 64 * 1024;
    opts.log_path = o_.log_path;
    if (!o_.log_path.empty()) fclose(fopen(o_.log_path.c_str(), "w"));
    player_.set_line_handler([this](const std::string& line) { seen.add(line); });
    time_t now = time(nullptr);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", localtime(&now));
    started_at = text;
    if (!player_.start(opts)) return fail("could not start " + o_.player);
    if (player_.wait_for_line(protocol::READY, EVENT_TIMEOUT_S) < 0) return fail("the player never said \"ready\"");
    if (player_.wait_for_line(protocol::STARTED, EVENT_TIMEOUT_S) < 0)
      return fail("the player's start-up never finished");
    size_t from = player_.line_count();
    player_.send(protocol::CMD_PLAY);
    if (player_.wait_for_substring(protocol::ACK_TAKEN + std::string(protocol::ACK_PLAYING) + protocol::ACK_TAKEN_END,
                                   EVENT_TIMEOUT_S, from) < 0)
      return fail("\"playing\" never came or was never taken as answered");
    return true;
  }

  bool prompt_switch(int k) {
    const Clip& c = CYCLE[(k - 1) % CYCLE_LENGTH];
    auto is_gone = [this] { return gone(); };
    SwitchTimes t;
    t.index = k;
    t.file = c.file;
    auto sent = Clock::now();
    player_.answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH);
    std::optional<Seen::Line> ready;
    // A refused preload leaves the answer's `switch` waiting for the next "Preload complete".
    for (int attempt = 0; attempt < 3 && !ready; ++attempt) {
      size_t from = seen.mark();
      if (attempt == 0) sent = Clock::now();
      player_.send(protocol::CMD_PRELOAD + path_of(c.file));
      auto answer = seen.wait({Kind::PreloadComplete, Kind::PreloadError}, from, EVENT_TIMEOUT_S, is_gone);
      if (!answer) return fail("switch " + std::to_string(k) + ": no answer to the preload of " + c.file);
      if (answer->kind == Kind::PreloadComplete) {
        ready = answer;
      } else {
        ++refusals;
        notes.push_back("switch " + std::to_string(k) + ": \"Preload error\" for " + c.file);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
      }
    }
    if (!ready) return fail("switch " + std::to_string(k) + ": the preload of " + std::string(c.file) + " kept being refused");
    t.preload_ms = ms_between(sent, ready->t);

    size_t from = seen.mark();
    for (int attempt = 0;; ++attempt) {
      auto outcome =
          seen.wait({Kind::SwitchDone, Kind::SwitchRefused, Kind::SwitchIgnored}, from, EVENT_TIMEOUT_S, is_gone);
      if (!outcome) return fail("switch " + std::to_string(k) + " to " + c.file + " never completed");
      if (outcome->kind == Kind::SwitchDone) {
        t.switch_ms = ms_between(ready->t, outcome->t);
        break;
      }
      ++refusals;
      notes.push_back("switch " + std::to_string(k) + ": " + outcome->text);
      if (attempt > 0) return fail("switch " + std::to_string(k) + " to " + c.file + " refused twice");
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      from = seen.mark();
      player_.send(protocol::CMD_SWITCH);
    }
    t.cycle_ms = ms_between(sent, Clock::now());
    times.push_back(t);
    if (gone()) return fail("the player ended after switch " + std::to_string(k));
    return true;
  }

  void fill_cycle_times(Counts& c, int previous) {
    std::vector<double> v;
    for (const SwitchTimes& t : times)
      if (t.index > previous && t.index <= c.after) v.push_back(t.cycle_ms);
    Stats s = stats_of(v);
    c.median_cycle_ms = s.median;
    c.max_cycle_ms = s.max;
  }

  // What plays a moment after the switch: the sound server buffers a little.
  void listen_after(int k) {
    Sample s;
    s.index = k;
    s.clip = &CYCLE[(k - 1) % CYCLE_LENGTH];
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(o_.listen_delay_s * 1000)));
    s.heard = sink_.listen(o_.listen_s);
    s.sound_ok = s.clip->tone > 0 ? heard_tone(s.heard, s.clip->tone) : heard_silence(s.heard);
    s.picture_ok = display_.wait_for_colour(s.clip->colour, 10);
    samples.push_back(s);
  }

  void finish() {
    if (gone()) {
      exited_early = true;
      return;
    }
    // An event still waiting for its answer would turn "exit" into status 1.
    exit_status = player_.stop(20, 10);
    if (!exit_status || *exit_status != 0)
      failures.push_back("\"exit\" ended the player with status " +
                         (exit_status ? std::to_string(*exit_status) : std::string("(none)")));
  }

  const Options& o_;
  VirtualDisplay display_;
  SoundSink sink_;
  PlayerClient player_;
  Clock::time_point start_ = Clock::now();
};

// ---------------------------------------------------------------- report

void print_counts(FILE* f, const std::vector<Counts>& counts) {
  fprintf(f, "\nThe player's process (after N switches):\n\n");
  fprintf(f, "| switches | open fds | threads | RSS (MiB) | elapsed | load average | cycle median | cycle max |\n");
  fprintf(f, "|---:|---:|---:|---:|---:|---|---:|---:|\n");
  for (const Counts& c : counts) {
    fprintf(f, "| %d | %d | %d | %.1f | %.0f s | %s |", c.after, c.fds, c.threads, c.rss / 1024.0, c.elapsed_s,
            c.load.c_str());
    if (c.after == 0)
      fprintf(f, " | |\n");
    else
      fprintf(f, " %.0f ms | %.0f ms |\n", c.median_cycle_ms, c.max_cycle_ms);
  }
}

void print_times(FILE* f, const std::vector<SwitchTimes>& times) {
  std::vector<double> preload, sw, cycle;
  for (const SwitchTimes& t : times) {
    preload.push_back(t.preload_ms);
    sw.push_back(t.switch_ms);
    cycle.push_back(t.cycle_ms);
  }
  fprintf(f, "\nTime per switch:\n\n");
  fprintf(f, "| step | n | median | p90 | p99 | max |\n|---|---:|---:|---:|---:|---:|\n");
  auto row = [f](const char* name, const std::vector<double>& v) {
    Stats s = stats_of(v);
    fprintf(f, "| %s | %zu | %.0f ms | %.0f ms | %.0f ms | %.0f ms |\n", name, s.n, s.median, s.p90, s.p99, s.max);
  };
  row("`preload` written → \"Preload complete\" read", preload);
  row("`switch` written (with the answer) → switch completed", sw);
  row("whole switch (`preload` written → switch completed)", cycle);
}

void print_samples(FILE* f, const std::vector<Sample>& samples) {
  fprintf(f, "\nSound and picture 0.5 s after the switch:\n\n");
  fprintf(f, "| switch | file | sound | expected | heard | rms | sound ok | picture ok |\n");
  fprintf(f, "|---:|---|---|---|---:|---:|---|---|\n");
  for (const Sample& s : samples) {
    std::string expected = s.clip->tone > 0 ? std::to_string(static_cast<int>(s.clip->tone)) + " Hz" : "silence";
    fprintf(f, "| %d | %s | %s | %s | %.0f Hz | %.4f | %s | %s |\n", s.index, s.clip->file, s.clip->sound,
            expected.c_str(), s.heard.frequency, s.heard.rms, s.sound_ok ? "yes" : "NO", s.picture_ok ? "yes" : "NO");
  }
}

// The lines of note over the whole run, counted once the player is gone.
struct NotedLines {
  int ends, resets, crashes, cleanup_errors, leaks;
};

NotedLines noted_lines(Seen& seen) {
  return {seen.count(Kind::EndOfVideo), seen.count(Kind::Reset), seen.count(Kind::Crash),
          seen.count(Kind::CleanupError), seen.count(Kind::ProbeLeak)};
}

// What must hold over the whole run, besides what stopped it.
std::vector<std::string> run_failures(const Soak& soak, const NotedLines& n, const Options& o) {
  std::vector<std::string> failures = soak.failures;
  if (soak.refusals > 0) failures.push_back(std::to_string(soak.refusals) + " refusal(s)");
  if (soak.exited_early)
    failures.push_back("the player ended by itself" +
                       (soak.exit_status ? " with status " + std::to_string(*soak.exit_status) : std::string()));
  if (n.crashes) failures.push_back(std::to_string(n.crashes) + " \"crash\" event(s)");
  if (n.resets) failures.push_back(std::to_string(n.resets) + " \"reset\" event(s): the pipeline was rebuilt");
  if (n.cleanup_errors) failures.push_back(std::to_string(n.cleanup_errors) + " \"[CLEANUP ERROR]\" line(s)");
  if (n.leaks) failures.push_back(std::to_string(n.leaks) + " probe leak line(s)");
  // Flat from the first counts after start-up on: the first switches away
  // from the start-up branch bring up threads and buffers that stay.
  if (soak.counts.size() >= 3) {
    const Counts& base = soak.counts[1];
    const Counts& last = soak.counts.back();
    if (last.fds > base.fds + o.fd_slack)
      failures.push_back("open fds grew from " + std::to_string(base.fds) + " to " + std::to_string(last.fds));
    if (last.threads > base.threads + o.thread_slack)
      failures.push_back("threads grew from " + std::to_string(base.threads) + " to " +
                         std::to_string(last.threads));
    if (last.rss > base.rss + static_cast<long>(o.rss_slack_mib * 1024))
      failures.push_back("RSS grew from " + std::to_string(base.rss / 1024) + " MiB to " +
                         std::to_string(last.rss / 1024) + " MiB");
  }
  int bad_samples = 0;
  for (const Sample& s : soak.samples) bad_samples += !s.sound_ok || !s.picture_ok;
  if (bad_samples) failures.push_back(std::to_string(bad_samples) + " sample(s) with the wrong sound or picture");
  return failures;
}

void print_report(FILE* f, const Soak& soak, const NotedLines& n, const Options& o) {
  fprintf(f, "Switch soak: %zu of %d prompt switches, started %s, player %s\n", soak.times.size(), o.switches,
          soak.started_at.c_str(), o.player.c_str());
  print_counts(f, soak.counts);
  print_times(f, soak.times);
  print_samples(f, soak.samples);
  fprintf(f, "\nLines of note: \"end of video!\" %d, \"reset\" %d, \"crash\" %d, \"[CLEANUP ERROR]\" %d, leaks %d\n",
          n.ends, n.resets, n.crashes, n.cleanup_errors, n.leaks);
  fprintf(f, "Refusals: %d; exit status after \"exit\": %s\n", soak.refusals,
          soak.exit_status ? std::to_string(*soak.exit_status).c_str() : "none");
  for (const std::string& note : soak.notes) fprintf(f, "  %s\n", note.c_str());
}

void write_csv(const std::string& path, const std::vector<SwitchTimes>& times) {
  FILE* csv = fopen(path.c_str(), "w");
  if (!csv) return;
  fprintf(csv, "switch,file,preload_ms,switch_ms,cycle_ms\n");
  for (const SwitchTimes& t : times)
    fprintf(csv, "%d,%s,%.3f,%.3f,%.3f\n", t.index, t.file.c_str(), t.preload_ms, t.switch_ms, t.cycle_ms);
  fclose(csv);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_options(argc, argv, o)) return 2;
  for (const Clip& c : CYCLE)
    if (access((o.clips_dir + "/" + c.file).c_str(), R_OK) != 0) {
      fprintf(stderr, "missing clip %s/%s (building the target bench_clips makes them)\n", o.clips_dir.c_str(),
              c.file);
      return 2;
    }
  if (access(o.player.c_str(), X_OK) != 0) {
    fprintf(stderr, "no player at %s\n", o.player.c_str());
    return 2;
  }

  Soak soak(o);
  soak.run();
  NotedLines n = noted_lines(soak.seen);
  std::vector<std::string> failures = run_failures(soak, n, o);
  FILE* f = stdout;
  print_report(f, soak, n, o);
  if (!o.csv_path.empty()) write_csv(o.csv_path, soak.times);
  if (!o.log_path.empty()) fprintf(f, "player output: %s\n", o.log_path.c_str());
  if (failures.empty()) {
    fprintf(f, "\nPASS\n");
    return 0;
  }
  fprintf(f, "\nFAIL\n");
  for (const std::string& why : failures) fprintf(f, "  %s\n", why.c_str());
  return 1;
}
