// Switches at every moment of the file on screen, with one core kept busy:
// mid-file, within its last 300 ms, and after its end, as a manager that
// answers at once sends them, mixed with video commands, pauses, refused and
// replaced preloads. Seeded: SOAK_SEED repeats a run, SOAK_SWITCHES sets its
// length (the benchmark runs it long).
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "e2e/e2e_helpers.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Clip {
  const char* file;
  double tone;  // 0: no sound
  Rgb colour;
  double seconds;
};
const Clip SHORT[] = {{"short_green.mp4", TONE_STEREO, GREEN, 1},
                      {"short_mono.mp4", TONE_MONO, MAGENTA, 1},
                      {"short_surround.mp4", TONE_SURROUND, ORANGE, 1},
                      {"short_silent.mp4", 0, CYAN, 1},
                      {"short_blue.mp4", TONE_STEREO, BLUE, 1}};
// Long enough to be heard after a switch.
const Clip HEARD[] = {{"green.mp4", TONE_STEREO, GREEN, 4},
                      {"mono.mp4", TONE_MONO, MAGENTA, 4},
                      {"surround.mp4", TONE_SURROUND, ORANGE, 4},
                      {"silent.mp4", 0, CYAN, 4}};
const Clip START{"long.mp4", TONE_STEREO, GRAY, 20};

enum class Moment { Mid, LastMoments, AfterEnd };
const char* name(Moment m) { return m == Moment::Mid ? "mid-file" : m == Moment::LastMoments ? "last 300 ms" : "after end"; }

// A child process that keeps one core busy for as long as it lives.
class Spinner {
 public:
  Spinner() {
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (volatile unsigned long n = 0;; n = n + 1) {
      }
    }
  }
  ~Spinner() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

// Asks the player for its position every 200 ms and keeps how long the main
// loop took to take each question in (a stalled loop answers late), and how
// long each switch held the loop.
class LoopWatch {
 public:
  explicit LoopWatch(PlayerClient& p) : player_(p) {
    player_.set_line_handler([this](const std::string& line) {
      auto now = Clock::now();
      std::lock_guard<std::mutex> lock(mutex_);
      if (line == protocol::SWITCH_RECEIVED) {
        switch_began_ = now;
      } else if (line == protocol::SWITCH_DONE) {
        switch_ms_.push_back(std::chrono::duration<double, std::milli>(now - switch_began_).count());
      } else if (line == protocol::COMMAND_TAKEN + std::string(protocol::CMD_TEMPO) && !sent_.empty()) {
        worst_ = std::max(worst_, std::chrono::duration<double>(now - sent_.front()).count());
        sent_.pop_front();
      }
    });
    thread_ = std::thread([this] {
      while (!stop_) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          sent_.push_back(Clock::now());
        }
        player_.send(protocol::CMD_TEMPO);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    });
  }
  ~LoopWatch() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // The longest wait for an answer; one still awaited counts for as long as it has waited.
  double worst_stall() {
    std::lock_guard<std::mutex> lock(mutex_);
    double pending = sent_.empty() ? 0 : std::chrono::duration<double>(Clock::now() - sent_.front()).count();
    return std::max(worst_, pending);
  }
  // Median, 90th percentile and longest time a switch held the loop, in ms.
  std::string switch_figures() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<double> v = switch_ms_;
    if (v.empty()) return "no switches";
    std::sort(v.begin(), v.end());
    char text[128];
    snprintf(text, sizeof text, "%.0f / %.0f / %.0f ms", v[v.size() / 2], v[v.size() * 9 / 10], v.back());
    return text;
  }

 private:
  PlayerClient& player_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::deque<Clock::time_point> sent_;
  double worst_ = 0;
  Clock::time_point switch_began_;
  std::vector<double> switch_ms_;
};

int entries(const std::string& dir) {
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

class LoadedSoak : public PlayerE2E {
 protected:
  void SetUp() override {
    sink = std::make_unique<SoundSink>();
    ASSERT_TRUE(sink->ok()) << "no sound server to listen to";
    const char* seed = getenv("SOAK_SEED");
    seed_ = seed ? std::strtoul(seed, nullptr, 10) : std::random_device{}();
    const char* n = getenv("SOAK_SWITCHES");
    switches_ = n ? std::atoi(n) : 300;
    fprintf(stderr, "loaded soak: seed %u, %d switches (SOAK_SEED=%u repeats it)\n", seed_, switches_, seed_);
    rng_.seed(seed_);
  }
  double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  void sleep_until_after_start(double seconds) {
    std::this_thread::sleep_until(shown_at_ + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(seconds)));
  }
  void shown(const Clip& c, bool ends_reported) {
    shown_ = &c;
    shown_at_ = Clock::now();
    ends_reported_ = ends_reported;
  }

  void preload_and_wait(const Clip& c, size_t from) {
    player->send(protocol::CMD_PRELOAD + clip(c.file));
    ASSERT_GE(player->wait_for_line(protocol::PRELOAD_COMPLETE, EVENT_TIMEOUT, from), 0) << c.file << "\n" << dump();
  }

  // One switch to `next`, landing at the given moment of the file on screen.
  void switch_at(const Clip& next, Moment moment) {
    size_t from = player->line_count();
    size_t file_from = shown_from_;
    int done = player->count_exact(protocol::SWITCH_DONE);
    double length = shown_->seconds;
    switch (moment) {
      case Moment::Mid:
        sleep_until_after_start(uniform(0, 0.15));
        player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH);
        player->send(protocol::CMD_PRELOAD + clip(next.file));
        break;
      case Moment::LastMoments:
        preload_and_wait(next, from);
        if (HasFatalFailure()) return;
        sleep_until_after_start(length - uniform(0, 0.3));
        player->send(protocol::CMD_SWITCH);
        break;
      case Moment::AfterEnd:
        preload_and_wait(next, from);
        if (HasFatalFailure()) return;
        if (below(2) == 0) {
          // In the same write as the answer to the end, unless the end has
          // been answered already.
          player->answer_then(protocol::END_OF_VIDEO, protocol::CMD_SWITCH);
          if (player->count_exact(protocol::END_OF_VIDEO, file_from) > 0 &&
              player->cancel_answer_then(protocol::END_OF_VIDEO))
            player->send(protocol::CMD_SWITCH);
        } else {
          ASSERT_GE(player->wait_for_line(protocol::END_OF_VIDEO, length + 10, file_from), 0)
              << shown_->file << "\n" << dump();
          std::this_thread::sleep_for(std::chrono::duration<double>(uniform(0, 0.3)));
          player->send(protocol::CMD_SWITCH);
        }
        break;
    }
    ASSERT_TRUE(player->wait_for_count(protocol::SWITCH_DONE, done + 1, EVENT_TIMEOUT))
        << next.file << " " << name(moment) << "\n" << dump();
    EXPECT_EQ(player->count_substring(protocol::SWITCH_REJECTED, from), 0) << dump();
    EXPECT_EQ(player->count_substring(protocol::SWITCH_ERROR, from), 0) << dump();
    EXPECT_EQ(player->count_exact(protocol::PRELOAD_ERROR, from), 0) << dump();
    shown_from_ = player->line_count();
    shown(next, true);
    counts_[static_cast<int>(moment)]++;
  }

  void expect_seen_and_heard(const Clip& c) {
    EXPECT_TRUE(display.wait_for_colour(c.colour, 10)) << c.file << "\n" << dump();
    SoundSink::Heard h = listen_for(*sink, c.tone, 3);
    EXPECT_TRUE(heard(h, c.tone)) << c.file << ": rms " << h.rms << ", " << h.frequency << " Hz";
  }

  // ---- The commands mixed in ----
  void video(const Clip& c) {
    player->send(protocol::CMD_VIDEO + clip(c.file));
    EXPECT_TRUE(display.wait_for_colour(c.colour, 10)) << c.file << "\n" << dump();
    shown_from_ = player->line_count();
    shown(c, false);  // its sound is the previous file's: its end is not its own
  }
  void switch_while_paused(const Clip& c) {
    size_t from = player->line_count();
    preload_and_wait(c, from);
    if (HasFatalFailure()) return;
    player->send(protocol::CMD_PAUSE);
    player->send(protocol::CMD_SWITCH);
    ASSERT_GE(player->wait_for_line(protocol::SWITCH_DONE, EVENT_TIMEOUT, from), 0) << dump();
    EXPECT_TRUE(display.wait_for_colour(c.colour, 10)) << c.file << " while paused\n" << dump();
    size_t play_from = player->line_count();
    player->send(protocol::CMD_PLAY);
    ASSERT_GE(player->wait_for_line(protocol::PLAYING, EVENT_TIMEOUT, play_from), 0) << dump();
    shown_from_ = play_from;
    shown(c, true);
  }
  void refused_preload() {
    size_t from = player->line_count();
    player->send(protocol::CMD_PRELOAD + clip("hevc_aac.mp4"));
    ASSERT_GE(player->wait_for_line(protocol::PRELOAD_ERROR, EVENT_TIMEOUT, from), 0) << dump();
    wait_acknowledged(protocol::ACK_PRELOAD_ERROR, from);
  }
  void replaced_preload(const Clip& replaced, const Clip& c) {
    int done = player->count_exact(protocol::SWITCH_DONE);
    size_t from = player->line_count();
    player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH);
    player->send_raw(protocol::CMD_PRELOAD + clip(replaced.file) + "\n" + protocol::CMD_PRELOAD + clip(c.file) + "\n");
    ASSERT_TRUE(player->wait_for_count(protocol::SWITCH_DONE, done + 1, EVENT_TIMEOUT)) << dump();
    EXPECT_TRUE(display.wait_for_colour(c.colour, 10)) << c.file << " after a replaced preload\n" << dump();
    EXPECT_EQ(player->count_exact(protocol::PRELOAD_COMPLETE, from), 1) << dump();
    shown_from_ = player->line_count();
    shown(c, true);
  }

  unsigned seed_ = 0;
  int switches_ = 300;
  std::mt19937 rng_;
  const Clip* shown_ = &START;
  Clock::time_point shown_at_;
  size_t shown_from_ = 0;
  bool ends_reported_ = false;
  int counts_[3] = {0, 0, 0};
};

}  // namespace

TEST_F(LoadedSoak, SwitchesAtEveryMomentOfTheFileWithACoreBusy) {
  Spinner spinner;
  start_playing({clip(START.file)});
  shown(START, false);
  LoopWatch loop(*player);
  const std::string proc = "/proc/" + std::to_string(player->pid());
  int fds0 = 0, threads0 = 0;
  int mixed = 0;
  for (int i = 0; i < switches_ && !HasFatalFailure(); ++i) {
    if (fds0 == 0 && i >= std::min(20, switches_ / 2)) {
      fds0 = entries(proc + "/fd");
      threads0 = entries(proc + "/task");
    }
    // Now and then a command of another kind comes first.
    if (i % 10 == 9) {
      const Clip& c = SHORT[below(5)];
      switch (mixed++ % 4) {
        case 0: video(c); break;
        case 1: switch_while_paused(c); ++i; break;
        case 2: refused_preload(); break;
        case 3: replaced_preload(SHORT[below(5)], c); ++i; break;
      }
      if (HasFatalFailure()) break;
    }
    bool listen = i % 25 == 12;
    const Clip& next = listen ? HEARD[(i / 25) % 4] : SHORT[below(5)];
    // The start-up file and a video command's never report their end.
    Moment moment = static_cast<Moment>(below(ends_reported_ ? 3 : 2));
    if (listen || shown_ == &START) moment = Moment::Mid;
    switch_at(next, moment);
    if (HasFatalFailure()) break;
    if (listen)
      expect_seen_and_heard(next);
    else if (i % 3 == 0)
      EXPECT_TRUE(display.wait_for_colour(next.colour, 10)) << next.file << "\n" << dump();
    ASSERT_TRUE(player->running()) << dump();
  }
  double worst_stall = loop.worst_stall();
  loop.stop();
  int fds = entries(proc + "/fd"), threads = entries(proc + "/task");
  fprintf(stderr,
          "loaded soak: %d mid-file, %d last 300 ms, %d after end; a switch held the loop %s (median / p90 / max);"
          " longest wait for the loop %.3f s; fds %d -> %d, threads %d -> %d\n",
          counts_[0], counts_[1], counts_[2], loop.switch_figures().c_str(), worst_stall, fds0, fds, threads0, threads);
  EXPECT_LT(worst_stall, 1.0) << "the main loop stalled";
  EXPECT_LE(fds, fds0 + 4);
  EXPECT_LE(threads, threads0 + 6);
  EXPECT_TRUE(player->running()) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
