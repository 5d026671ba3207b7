// The run's timeline: every event the benchmark times, stamped with the
// monotonic clock. Probes on the player's pipeline add what its video and
// audio sinks and its bus see; the reader of the player's output and the
// driver add what is said on the command channel.
#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/player_state.h"
#include "latency_types.h"

namespace latency {

// stop_loop asks the player's loop to return; loop_exited says it has, and
// then no wait on the timeline waits any longer.
extern std::atomic<bool> stop_loop;
extern std::atomic<bool> loop_exited;

class Timeline {
 public:
  void add(Ev kind, gint64 t, GstClockTime pts = GST_CLOCK_TIME_NONE, int colour = -1, std::string text = {}) {
    {
      std::lock_guard<std::mutex> lock(m_);
      events_.push_back({t, kind, pts, colour, std::move(text)});
    }
    cv_.notify_all();
  }
  bool wait(const std::function<bool(const Event&)>& test, gint64 since, gint64 deadline, Event* out) {
    std::unique_lock<std::mutex> lock(m_);
    size_t scanned = 0;
    for (;;) {
      for (; scanned < events_.size(); ++scanned) {
        const Event& e = events_[scanned];
        if (e.t > since && test(e)) {
          if (out) *out = e;
          return true;
        }
      }
      gint64 now = g_get_monotonic_time();
      if (now >= deadline || loop_exited) return false;
      cv_.wait_for(lock, std::chrono::microseconds(std::min<gint64>(deadline - now, 200 * MS)));
    }
  }
  bool any_between(Ev kind, gint64 from, gint64 to) {
    std::lock_guard<std::mutex> lock(m_);
    for (const Event& e : events_)
      if (e.kind == kind && e.t > from && e.t <= to) return true;
    return false;
  }
  std::vector<Event> sorted() {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<Event> copy = events_;
    std::stable_sort(copy.begin(), copy.end(), [](const Event& a, const Event& b) { return a.t < b.t; });
    return copy;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

extern Timeline timeline;
extern gint64 run_start;  // the log's and the trace's times count from it

// Probes on the video sink (and the decoder's output before it), on the
// audio sink and on the bus; false when the pipeline has no video sink.
bool install_probes(PlayerState& st);

}  // namespace latency
