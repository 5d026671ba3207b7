#include "latency_driver.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

#include "core/player_state.h"
#include "latency_trace.h"
#include "messaging/ack_delivery.h"
#include "protocol/protocol.h"

namespace latency {

// ---------------------------------------------------------------- the player's channels

int command_fd = -1;
FILE* log_file = nullptr;
bool answer_acks = true;
int reaction_ms = 0;

namespace {

std::mutex command_mutex;
std::atomic<bool> switch_on_end{false};
std::atomic<bool> arm_on_preload{false};  // answer the next "Preload complete" with switch_at_end too

const char* ack_for(const std::string& line) {
  for (const auto& row : protocol::EVENT_ANSWERS)
    if (line == row.event) return row.ack;
  return nullptr;
}

void send_command(const std::string& line) {
  std::lock_guard<std::mutex> lock(command_mutex);
  std::string text = line + "\n";
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t w = write(command_fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
}

void on_player_line(const std::string& line, gint64 now) {
  if (log_file) fprintf(log_file, "%10.3f %s\n", (now - run_start) / 1000.0, line.c_str());
  const char* ack = answer_acks ? ack_for(line) : nullptr;
  if (line == protocol::END_OF_VIDEO) {
    timeline.add(Ev::Reported, now);
    bool do_switch = switch_on_end.exchange(false);
    // A prompt manager: the switch leaves with the acknowledgement.
    if (do_switch && reaction_ms == 0) {
      timeline.add(Ev::Sent, g_get_monotonic_time());
      send_command(ack ? std::string(ack) + "\n" + protocol::CMD_SWITCH : std::string(protocol::CMD_SWITCH));
      return;
    }
    if (ack) send_command(ack);
    if (do_switch)
      std::thread([] {
        g_usleep(static_cast<gulong>(reaction_ms) * MS);
        timeline.add(Ev::Sent, g_get_monotonic_time());
        send_command(protocol::CMD_SWITCH);
      }).detach();
    return;
  }
  if (line == protocol::PRELOAD_COMPLETE && arm_on_preload.exchange(false)) {
    timeline.add(Ev::PreloadComplete, now);
    timeline.add(Ev::ArmSent, g_get_monotonic_time());
    std::string arm(protocol::CMD_SWITCH_AT_END);
    send_command(ack ? std::string(ack) + "\n" + arm : arm);
    return;
  }
  if (ack) send_command(ack);
  if (line == protocol::PRELOAD_COMPLETE) {
    timeline.add(Ev::PreloadComplete, now);
  } else if (line == protocol::PRELOAD_ERROR) {
    timeline.add(Ev::PreloadError, now);
  } else if (line == protocol::SWITCH_RECEIVED) {
    timeline.add(Ev::Begin, now);
  } else if (line == protocol::SWITCH_FLIPPED) {
    timeline.add(Ev::Flip, now);
  } else if (line == protocol::SWITCH_SEEK) {
    timeline.add(Ev::Seek, now);
  } else if (line == protocol::SWITCH_DONE) {
    timeline.add(Ev::Done, now);
  } else if (line.rfind(protocol::SWITCH_REJECTED, 0) == 0 || line.rfind(protocol::SWITCH_ERROR, 0) == 0) {
    timeline.add(Ev::Rejected, now);
  } else if (line.rfind(protocol::BUS_ERROR, 0) == 0) {
    timeline.add(Ev::FatalError, now);
  } else if (line == protocol::ARMED) {
    timeline.add(Ev::Armed, now);
  } else if (line.rfind(protocol::ARM_REJECTED, 0) == 0) {
    timeline.add(Ev::ArmRejected, now);
  } else if (line == protocol::ARMED_SWITCH_TAKEN) {
    timeline.add(Ev::AtEnd, now);
  } else if (line.rfind(protocol::RATIO_PROBE_START, 0) == 0) {
    timeline.add(Ev::ArCheck, now);
  } else if (line.rfind(protocol::RATIO_PROBE_OUTCOME, 0) == 0) {
    timeline.add(Ev::ArAnswer, now);
  }
}

}  // namespace

void read_player_output(int fd) {
  std::string pending;
  char chunk[16384];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    gint64 now = g_get_monotonic_time();
    pending.append(chunk, static_cast<size_t>(n));
    size_t start = 0, nl;
    while ((nl = pending.find('\n', start)) != std::string::npos) {
      on_player_line(pending.substr(start, nl - start), now);
      start = nl + 1;
    }
    pending.erase(0, start);
  }
  if (log_file) fflush(log_file);
}

// ---------------------------------------------------------------- the driver

void Driver::run() {
  drive();  // on failure, what was measured so far still goes to the report
  // Acknowledgements are read by the loop, and an unanswered event ends the
  // process: delivery stops while the loop still runs.
  if (o_.acks) stop_ack_system();
  stop_loop = true;
}

std::string Driver::path_of(int clip, bool mid) const {
  return (mid ? o_.mid_clips_dir : o_.clips_dir) + "/" + CLIPS[clip].file;
}

bool Driver::is_arrival_of(const Event& e, int colour) { return e.kind == Ev::Arrive && e.colour == colour; }

bool Driver::fail(const std::string& why) {
  failure = why;
  return false;
}

bool Driver::wait_idle_cleanup(gint64 deadline) {
  while (cleanup_in_progress.load() || active_cleanup_timeout_id.load()) {
    if (g_get_monotonic_time() > deadline) return false;
    g_usleep(5 * MS);
  }
  return true;
}

void Driver::sleep_until(gint64 t) {
  gint64 now = g_get_monotonic_time();
  if (t > now) g_usleep(static_cast<gulong>(t - now));
}

bool Driver::preload(const std::string& path, SwitchRecord& r, bool arm) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    arm_on_preload = arm;
    gint64 since = g_get_monotonic_time();
    r.preload_attempts = attempt + 1;
    r.preload_sent = since;
    timeline.add(Ev::PreloadSent, since);
    send_command(protocol::CMD_PRELOAD + path);
    Event e;
    if (!timeline.wait([](const Event& x) { return x.kind == Ev::PreloadComplete || x.kind == Ev::PreloadError; },
                       since, since + 15 * SECOND, &e)) {
      arm_on_preload = false;
      return fail("no answer to preload of " + path);
    }
    if (e.kind == Ev::PreloadComplete) {
      r.preload_done = e.t;
      return true;
    }
    g_usleep(300 * MS);  // refused during a cleanup: try again once it is over
  }
  arm_on_preload = false;
  return fail("preload of " + path + " kept being refused");
}

// The reader thread wrote switch_at_end with the answer to "Preload complete".
bool Driver::armed_in_time(SwitchRecord& r, gint64 last_done) {
  Event sent, answer;
  if (!timeline.wait([](const Event& e) { return e.kind == Ev::ArmSent; }, r.preload_sent,
                     g_get_monotonic_time() + 5 * SECOND, &sent))
    return fail("switch_at_end was never written");
  r.sent = sent.t;
  if (!timeline.wait(
          [](const Event& e) {
            return e.kind == Ev::Armed || e.kind == Ev::ArmRejected || e.kind == Ev::Rejected;
          },
          r.sent, r.sent + 5 * SECOND, &answer))
    return fail("no answer to switch_at_end (player hung?)");
  if (answer.kind != Ev::Armed) {
    return fail("switch_at_end " + std::to_string(r.index) + " was refused");
  }
  // Armed after the end went by: nothing would ever switch.
  if (timeline.any_between(Ev::Reported, last_done, answer.t)) {
    r.note += " end reported before switch_at_end was armed;";
    r.on_time = false;
    timeline.add(Ev::Sent, g_get_monotonic_time());
    send_command(protocol::CMD_SWITCH);
  }
  return true;
}

// The cases run one after the other, in this order, after one warm-up switch.
Mode Driver::mode_of(int k) const {
  if (k-- == 0) return Mode::Warmup;
  if (k < o_.mid_switches) return Mode::Mid;
  k -= o_.mid_switches;
  if (k < o_.preload_cycles) return Mode::Preload;
  k -= o_.preload_cycles;
  return k < o_.end_switches ? Mode::End : Mode::Armed;
}

// Writes this case's switch, or arms it, at the moment the case asks for;
// r.sent is when it went out.
bool Driver::send_switch(SwitchRecord& r, const OnScreen& screen, gint64 last_done) {
  if (r.mode == Mode::Armed) {
    if (!armed_in_time(r, last_done)) {
      r.driven_ok = false;
      records.push_back(r);
      return false;
    }
  } else if (r.mode == Mode::Preload) {
    // Only the preload is timed here: switch at once to start the next cycle.
    r.sent = g_get_monotonic_time();
    timeline.add(Ev::Sent, r.sent);
    send_command(protocol::CMD_SWITCH);
  } else if (r.mode == Mode::End) {
    switch_on_end = true;
    // The end may have been reported before the trigger was armed.
    if (timeline.any_between(Ev::Reported, last_done, g_get_monotonic_time()) && switch_on_end.exchange(false)) {
      r.note += " end reported before the preload was ready;";
      r.on_time = false;
      r.sent = g_get_monotonic_time();
      timeline.add(Ev::Sent, r.sent);
      send_command(protocol::CMD_SWITCH);
    } else {
      Event sent;
      if (!timeline.wait([](const Event& e) { return e.kind == Ev::Sent; }, last_done,
                         g_get_monotonic_time() + 30 * SECOND, &sent)) {
        switch_on_end = false;
        return fail("\"end of video!\" never came for " + path_of(screen.clip, screen.ms != END_CLIP_MS));
      }
      r.sent = sent.t;
    }
  } else {
    std::uniform_int_distribution<int> jitter(0, std::max(0, o_.jitter_ms - 1));
    gint64 target = screen.start + (o_.mid_at_ms + jitter(rng_)) * MS;
    if (g_get_monotonic_time() > target + o_.jitter_ms * MS)
      r.note += " sent later than asked (preload not ready in time);";
    sleep_until(target);
    r.sent = g_get_monotonic_time();
    timeline.add(Ev::Sent, r.sent);
    send_command(protocol::CMD_SWITCH);
  }
  return true;
}

// Waits until the switch completes and the new file's first frame reaches
// the sink; `new_start` is that frame's time.
bool Driver::await_switch(SwitchRecord& r, gint64& last_done, gint64& new_start) {
  Event outcome;
  if (!timeline.wait([](const Event& e) { return e.kind == Ev::Done || e.kind == Ev::Rejected; }, r.sent,
                     r.sent + 15 * SECOND, &outcome)) {
    records.push_back(r);
    return fail("switch " + std::to_string(r.index) + " never completed (player hung?)");
  }
  if (outcome.kind == Ev::Rejected) {
    r.driven_ok = false;
    records.push_back(r);
    return fail("switch " + std::to_string(r.index) + " was rejected");
  }
  last_done = outcome.t;
  Event first_new;
  int next = r.to;
  if (!timeline.wait([next](const Event& e) { return is_arrival_of(e, next); }, r.sent, r.sent + 10 * SECOND,
                     &first_new)) {
    r.driven_ok = false;
    records.push_back(r);
    return fail("switch " + std::to_string(r.index) + ": no frame of " + CLIPS[next].file + " reached the sink");
  }
  new_start = first_new.t;
  return true;
}

bool Driver::drive() {
  send_command(protocol::CMD_PLAY);
  gint64 since = g_get_monotonic_time();
  Event first;
  if (!timeline.wait([](const Event& e) { return is_arrival_of(e, 0); }, since, since + 20 * SECOND, &first))
    return fail("the start-up file never reached the sink");
  OnScreen screen{0, first.t, static_cast<double>(o_.mid_clip_ms)};
  gint64 last_done = first.t;

  int total = 1 + o_.mid_switches + o_.preload_cycles + o_.end_switches + o_.armed_switches;
  for (int k = 0; k < total; ++k) {
    Mode mode = mode_of(k);
    SwitchRecord r;
    r.index = k;
    r.mode = mode;
    r.from = screen.clip;
    r.to = (screen.clip + 1) % CLIP_COUNT;
    r.from_ms = screen.ms;
    r.to_ms = at_end(mode) ? END_CLIP_MS : o_.mid_clip_ms;

    if (!wait_idle_cleanup(g_get_monotonic_time() + 10 * SECOND)) return fail("deferred cleanup never finished");
    if (!preload(path_of(r.to, !at_end(mode)), r, mode == Mode::Armed)) return false;
    gint64 new_start = 0;
    if (!send_switch(r, screen, last_done) || !await_switch(r, last_done, new_start)) return false;
    screen = {r.to, new_start, r.to_ms};
    records.push_back(r);
    fprintf(stderr, "\rswitch %d/%d (%s)   ", k + 1, total, mode_name(mode));
  }
  fprintf(stderr, "\n");
  g_usleep(500 * MS);  // let the last new file's frames be drawn
  return true;
}

}  // namespace latency
