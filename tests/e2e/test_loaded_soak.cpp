// Switches at every moment of the file on screen, with one core kept busy:
// mid-file, within its last 300 ms, and after its end, as a manager that
// answers at once sends them, mixed with video commands, pauses, refused and
// replaced preloads. Seeded: SOAK_SEED repeats a run, SOAK_SWITCHES sets its
// length (the benchmark runs it long).
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "e2e_helpers.h"

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
// loop took to take each question in: a stalled loop answers late.
class StallWatch {
 public:
  explicit StallWatch(PlayerClient& p) : player_(p) {
    player_.set_line_handler([this](const std::string& line) {
      if (line != protocol::COMMAND_TAKEN + std::string(protocol::CMD_TEMPO)) return;
      std::lock_guard<std::mutex> lock(mutex_);
      if (sent_.empty()) return;
      double late = std::chrono::duration<double>(Clock::now() - sent_.front()).count();
      sent_.pop_front();
      if (late > worst_) worst_ = late;
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
  ~StallWatch() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  double worst() {
    std::lock_guard<std::mutex> lock(mutex_);
    // A question still unanswered counts for as long as it has waited.
    double pending = sent_.empty() ? 0 : std::chrono::duration<double>(Clock::now() - sent_.front()).count();
    return std::max(worst_, pending);
  }

 private:
  PlayerClient& player_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::deque<Clock::time_point> sent_;
  double worst_ = 0;
};

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
  double on_screen_for() const { return std::chrono::duration<double>(Clock::now() - shown_at_).count(); }
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
        if (below(2) == 0 && length - on_screen_for() > 0.2) {
          // In the same write as the answer to the end.
          player->answer_then(protocol::END_OF_VIDEO, protocol::CMD_SWITCH);
          if (!player->wait_for_count(protocol::SWITCH_DONE, done + 1, length + 10) &&
              player->cancel_answer_then(protocol::END_OF_VIDEO)) {
            ADD_FAILURE() << "no end of " << shown_->file << "\n" << dump();
            return;
          }
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
  StallWatch stalls(*player);
  int mixed = 0;
  for (int i = 0; i < switches_ && !HasFatalFailure(); ++i) {
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
  double worst_stall = stalls.worst();
  stalls.stop();
  fprintf(stderr, "loaded soak: %d mid-file, %d last 300 ms, %d after end; longest main-loop answer %.3f s\n",
          counts_[0], counts_[1], counts_[2], worst_stall);
  EXPECT_LT(worst_stall, 1.0) << "the main loop stalled";
  EXPECT_TRUE(player->running()) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
