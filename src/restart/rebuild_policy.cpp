#include "restart/rebuild_policy.h"

#include "core/log.h"
#include "core/player_state.h"

void schedule_rebuild_at_video_end() {
  restart_scheduled = 1;
  waiting_for_video_end = 1;
}

void rebuild_now_for_ratio() {
  suppress_events = 1;
  log_line("[AR] 🔇 Events suppressed until restart completes");
  restart_for_ar_fix = 1;
  restart_pending = 1;
}

void rebuild_now() { restart_pending = 1; }

namespace {
// Main thread only.
std::optional<PlacedRebuild> placed;
void (*prepared_drop)() = nullptr;
}  // namespace

void place_rebuild(PlacedRebuild at) { placed = at; }
std::optional<PlacedRebuild> placed_rebuild() { return placed; }
void set_prepared_rebuild_drop(void (*drop)()) { prepared_drop = drop; }
void drop_prepared_rebuild_if_any() {
  placed = std::nullopt;
  if (prepared_drop) prepared_drop();
}

bool cancel_scheduled_rebuild(const char* line) {
  drop_prepared_rebuild_if_any();
  if (!restart_scheduled) return false;
  log_line("%s", line);
  restart_scheduled = 0;
  waiting_for_video_end = 0;
  iterations_since_last_restart = 0;
  return true;
}

bool rebuild_due_at_video_end() { return restart_scheduled && waiting_for_video_end; }

bool rebuild_pending() { return restart_pending != 0; }

// Past the limit (a scheduled rebuild waiting for the end of a long video)
// the line shows nothing left to wait rather than a wrapped-around count.
void print_restart_progress() {
  uint64_t count = iterations_since_last_restart;
  if (count == 0 || count % RESTART_PROGRESS_PERIOD != 0) return;
  uint64_t remaining = count < MAX_ITERATIONS_BEFORE_RESTART ? MAX_ITERATIONS_BEFORE_RESTART - count : 0;
  log_raw("[RESTART INFO] Progress: %lu/%lu iterations | Restart in: %lu (~%lumin)\n",
          static_cast<unsigned long>(count), static_cast<unsigned long>(MAX_ITERATIONS_BEFORE_RESTART),
          static_cast<unsigned long>(remaining), static_cast<unsigned long>(remaining * 100 / 60000));
}

void schedule_restart_by_iterations() {
  uint64_t count = ++iterations_since_last_restart;
  if (count >= MAX_ITERATIONS_BEFORE_RESTART && !restart_scheduled) {
    log_raw("[RESTART] ⏰ Reached %lu iterations - restart scheduled\n",
            static_cast<unsigned long>(MAX_ITERATIONS_BEFORE_RESTART));
    log_line("[RESTART] ⏳ Waiting for current video to finish...");
    schedule_rebuild_at_video_end();
  }
}

void rebuild_started() { restart_pending = 0; }

void rebuild_skipped() { iterations_since_last_restart = 0; }

void rebuild_done() {
  placed = std::nullopt;
  iterations_since_last_restart = 0;
  restart_scheduled = 0;
  waiting_for_video_end = 0;
}

bool take_rebuild_for_ratio() { return restart_for_ar_fix.exchange(0) != 0; }
