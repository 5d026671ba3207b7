#include "watchdog/heartbeat.h"

#include <pthread.h>

#include <string>

#include "core/log.h"
#include "core/player_state.h"
#include "messaging/ack_delivery.h"

gint64 last_position = -1;
int stalled_seconds = 0;

namespace {

pthread_t heartbeat_thread;
bool heartbeat_started = false;
// Lets a stop wake the thread from its sleep between two checks.
pthread_mutex_t sleep_mutex = PTHREAD_MUTEX_INITIALIZER;
// On the monotonic clock: a clock step at boot must not stretch the sleep.
struct MonotonicCondition {
  pthread_cond_t cond;
  MonotonicCondition() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cond, &attr);
    pthread_condattr_destroy(&attr);
  }
};
MonotonicCondition sleep_condition;
pthread_cond_t& sleep_cond = sleep_condition.cond;

void sleep_until_next_check() {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += HEARTBEAT_PERIOD_SECONDS;
  pthread_mutex_lock(&sleep_mutex);
  while (heartbeat_running) {
    if (pthread_cond_timedwait(&sleep_cond, &sleep_mutex, &deadline) != 0) break;
  }
  pthread_mutex_unlock(&sleep_mutex);
}

}  // namespace

void* heartbeat_monitor_thread(void*) {
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

    GstElement* pipeline = global_pipeline.load();
    if (pipeline) {
      gst_element_get_state(pipeline, &state, nullptr, 0);
      state_name = gst_element_state_get_name(state);
    }

    if (pipeline && state == GST_STATE_PLAYING) {
      if (!gst_element_query_position(pipeline, GST_FORMAT_TIME, &position)) position = -1;
      if (!gst_element_query_duration(pipeline, GST_FORMAT_TIME, &duration)) duration = -1;
      if (position >= 0 && last_position >= 0 && position < last_position - GST_SECOND) check_flow = 0;
      if (switch_in_progress) check_flow = 0;
      if (check_flow && position >= 0 && previous_position >= 0) flowing = previous_position < position ? 1 : 0;
      if (check_flow && !flowing && position >= 0) {
        stalled_seconds += HEARTBEAT_PERIOD_SECONDS;
        if (stalled_seconds >= STALLED_TIMEOUT) {
          log_raw("\n🚨🚨🚨 [CRASH DETECTED] Pipeline STALLED for %d seconds! 🚨🚨🚨\n", stalled_seconds);
          send_with_ack("crash", "ack_crash");
          stalled_seconds = 0;
        }
      } else if (stalled_seconds > 0) {
        stalled_seconds = 0;
      }
      previous_position = position;
      last_position = position;
    }

    uint64_t iterations = main_loop_iterations.load();
    if (iterations == last_seen_iterations) {
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
      log_raw("[HEARTBEAT] ✅ Main loop ALIVE | Iterations: %lu (+%lu in 5s) | cleanup=%d | switch=%d\n",
              static_cast<unsigned long>(iterations), static_cast<unsigned long>(iterations - last_seen_iterations),
              cleanup_in_progress.load(), switch_in_progress.load());
      if (pipeline) {
        std::string line = "[HEARTBEAT]   └─ Pipeline: state=";
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
  return nullptr;
}

void start_heartbeat() {
  heartbeat_running = 1;
  heartbeat_started = pthread_create(&heartbeat_thread, nullptr, heartbeat_monitor_thread, nullptr) == 0;
}

void stop_heartbeat() {
  pthread_mutex_lock(&sleep_mutex);
  heartbeat_running = 0;
  pthread_cond_broadcast(&sleep_cond);
  pthread_mutex_unlock(&sleep_mutex);
  if (heartbeat_started) pthread_join(heartbeat_thread, nullptr);
  heartbeat_started = false;
}

bool heartbeat_is_started() { return heartbeat_started; }
