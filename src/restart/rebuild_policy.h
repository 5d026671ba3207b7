// When the whole pipeline is rebuilt. The schedule's flags (restart_scheduled,
// waiting_for_video_end, restart_pending, restart_for_ar_fix and the iteration
// count, in core/player_state.h) change only through these functions; the
// rebuild itself is player/pipeline_restart.h, run by the main loop once
// rebuild_pending() says so.
#pragma once
#include <gst/gst.h>

#include <cstdint>
#include <optional>

constexpr uint64_t MAX_ITERATIONS_BEFORE_RESTART = 150000;
constexpr uint64_t RESTART_PROGRESS_PERIOD = 10000;   // iterations between two progress lines

// ---- Decisions (any thread) ------------------------------------------------

// Rebuild once the file on screen has ended.
void schedule_rebuild_at_video_end();
// Rebuild at the loop's next iteration for a preload of another shape; the
// manager hears no events until it is done, then "Preload complete".
void rebuild_now_for_ratio();
// Rebuild at the loop's next iteration.
void rebuild_now();
// Forgets a rebuild waiting for the end of the video, saying `line` and
// restarting the count. False when none was waiting.
bool cancel_scheduled_rebuild(const char* line);
// A rebuild waits for the end of the file on screen: that end is its moment.
bool rebuild_due_at_video_end();
// The loop must rebuild now.
bool rebuild_pending();

// ---- The periodic rebuild (main loop, once per period) -----------------------

void print_restart_progress();
// Counts one period; at MAX_ITERATIONS_BEFORE_RESTART schedules the rebuild
// for the end of the video.
void schedule_restart_by_iterations();

// ---- The rebuild's own bookkeeping (player/pipeline_restart.cpp) --------------

// The pending rebuild is being carried out.
void rebuild_started();
// There was nothing to rebuild: the count starts again, a scheduled rebuild still waits.
void rebuild_skipped();
// Rebuilt: nothing is scheduled any more and the count starts again.
void rebuild_done();
// Whether the rebuild was for a preload's shape; asked once.
bool take_rebuild_for_ratio();

// ---- A rebuild made ready ahead (player/prepared_rebuild.h) ------------------

// switch_at while a rebuild is due at the end of the video: the rebuild's
// first picture is to show at `running` (the pipeline's running time), from
// `position` of its file.
struct PlacedRebuild {
  GstClockTime running = 0;
  GstClockTime position = 0;
};
void place_rebuild(PlacedRebuild at);
std::optional<PlacedRebuild> placed_rebuild();
// The rebuild prepared behind the file on screen registers how it is
// dropped; whatever changes the file on screen or the preload (a switch, a
// video command, a stop, a preload dropped or replaced) drops it, and the
// rebuild, if still due, happens at the end of the file as without it.
void set_prepared_rebuild_drop(void (*drop)());
void drop_prepared_rebuild_if_any();
