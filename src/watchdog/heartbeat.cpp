#include "watchdog/heartbeat.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "core/log.h"
#include "core/player_state.h"
#include "messaging/ack_delivery.h"
#include "platform/display_watch.h"
#include "protocol/protocol.h"

gint64 last_position = -1;
int stalled_seconds = 0;

namespace {

// A thread still running at exit is left to end with the process: a joinable
// std::thread would abort it instead.
struct HeartbeatThread {
  std::thread thread;
  ~HeartbeatThread() {
    if (thread.joinable()) thread.detach();
  }
};
HeartbeatThread heartbeat;
std::thread& heartbeat_thread = heartbeat.thread;
// Lets a stop wake the thread from its sleep between two checks.
std::mutex sleep_mutex;
std::condition_variable sleep_cond;

// On the steady clock (a clock step at boot must not stretch the sleep):
// libstdc++ waits on it with pthread_cond_clockwait and CLOCK_MONOTONIC.
void sleep_until_next_check() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(HEARTBEAT_PERIOD_SECONDS);
  std::unique_lock<std::mutex> lock(sleep_mutex);
  sleep_cond.wait_until(lock, deadline, [] { return !heartbeat_running; });
}

}  // namespace

void heartbeat_monitor_thread() {
  uint64_t last_seen_iterations = 0;
  int stalled_checks = 0;
  gint64 previous_position = -1;

  while (heartbeat_running) {
    time_t now = monotonic_seconds();
    long since_last_iteration = static_cast<long>(now - last_iteration_time.load());
    gint64 position = -1;
    gint64 duration = -1;
    GstState state = GST_STATE_NULL;
    const char* state_name = "UNKNOWN";
    int flowing = 0;
    int check_flow = 1;

    // A stalled loop may hold a lock that a query of the pipeline waits for:
    // the pipeline is asked only while the loop moves, so that this thread
    // always gets to end a stalled process.
    uint64_t iterations = main_loop_iterations.load();
    bool loop_moved = iterations != last_seen_iterations;
    GstElement* pipeline = loop_moved ? global_pipeline.load() : nullptr;
    if (pipeline) {
      gst_element_get_state(pipeline, &state, nullptr, 0);
      state_name = gst_element_state_get_name(state);
    }

    if (pipeline && state == GST_STATE_PLAYING) {
      if (!gst_element_query_position(pipeline, GST_FORMAT_TIME, &position)) position = -1;
      if (!gst_element_query_duration(pipeline, GST_FORMAT_TIME, &duration)) duration = -1;
      if (position >= 0 && last_position >= 0 && position < last_position - GST_SECOND) check_flow = 0;
      if (switch_in_progress) check_flow = 0;
      // A position that went back is another file's (a switch that needed
      // no seek): it moved.
      if (check_flow && position >= 0 && previous_position >= 0) flowing = previous_position != position ? 1 : 0;
      if (check_flow && !flowing && position >= 0) {
        stalled_seconds += HEARTBEAT_PERIOD_SECONDS;
        if (stalled_seconds >= STALLED_TIMEOUT) {
          log_raw("\n🚨🚨🚨 [CRASH DETECTED] Pipeline STALLED for %d seconds! 🚨🚨🚨\n", stalled_seconds);
          send_with_ack(protocol::CRASH, protocol::ACK_CRASH);
          stalled_seconds = 0;
        }
      } else if (stalled_seconds > 0) {
        stalled_seconds = 0;
      }
      previous_position = position;
      last_position = position;
    }

    // Before the loop's own check: a loop held by a stuck display is named for it.
    double unanswered = display_unanswered_seconds();
    if (unanswered > DISPLAY_ANSWER_LIMIT_S) {
      char why[80];
      snprintf(why, sizeof why, "Drawing has waited %.0f s for", unanswered);
      display_lost(why);
    }

    if (!loop_moved) {
      stalled_checks++;
      log_raw("[HEARTBEAT] ⚠️  MAIN LOOP STALLED! No progress for %ds\n", stalled_checks);
      log_raw("[HEARTBEAT]   └─ Stuck at iteration: %lu\n", static_cast<unsigned long>(iterations));
      log_raw("[HEARTBEAT]   └─ cleanup_in_progress: %d\n", cleanup_in_progress.load());
      log_raw("[HEARTBEAT]   └─ switch_in_progress: %d\n", switch_in_progress.load());
      log_raw("[HEARTBEAT]   └─ Time since last iteration: %lds\n", since_last_iteration);
      if (stalled_checks >= 2) {
        log_line_if_room("[HEARTBEAT] 💀 FATAL: Main loop stalled for 2 consecutive checks (6s) - TERMINATING PROCESS!");
        terminate_process(1);
      }
    } else {
      stalled_checks = 0;
      log_raw("%s%lu (+%lu in 5s) | cleanup=%d | switch=%d\n", protocol::LOOP_ALIVE,
              static_cast<unsigned long>(iterations), static_cast<unsigned long>(iterations - last_seen_iterations),
              cleanup_in_progress.load(), switch_in_progress.load());
      if (pipeline) {
        std::string line = protocol::PIPELINE_STATE;
        line += state_name;
        if (state == GST_STATE_PLAYING) {
          char piece[160];
          if (position >= 0 && duration >= 0) {
            snprintf(piece, sizeof piece, " | position=%.1fs/%.1fs", position / 1e9, duration / 1e9);
            line += piece;
          }
          if (!check_flow) {
            line += " | ⏭️  SEEKING (flow check skipped)";
          } else if (flowing) {
            line += " | 🎬 FLOWING";
          } else {
            snprintf(piece, sizeof piece, " | ⚠️  STALLED (position not advancing! %ds)", stalled_seconds);
            line += piece;
          }
        }
        line += "\n";
        write_stdout(line.data(), line.size());
      }
      last_seen_iterations = iterations;
    }
    sleep_until_next_check();
  }
}

void start_heartbeat() {
  heartbeat_running = 1;
  if (heartbeat_thread.joinable()) return;  // already running
  // A stall counted before a rebuild stopped the thread belongs to the old
  // pipeline: frequent rebuilds would otherwise add up to a false crash.
  stalled_seconds = 0;
  last_position = -1;
  try {
    heartbeat_thread = std::thread(heartbeat_monitor_thread);
  } catch (const std::system_error&) {
    // No thread: the player runs on without its heartbeat.
  }
}

void stop_heartbeat() {
  {
    std::lock_guard<std::mutex> lock(sleep_mutex);
    heartbeat_running = 0;
  }
  sleep_cond.notify_all();
  if (heartbeat_thread.joinable()) heartbeat_thread.join();
}

bool heartbeat_is_started() { return heartbeat_thread.joinable(); }
