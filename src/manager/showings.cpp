// Each showing of a file, for the proof of play and the figures, and the
// restarts as the figures count them. Main thread only.
#include <cstring>

#include "manager/manager.h"

namespace {

constexpr size_t KEPT_RESTARTS = 20;

using SystemClock = std::chrono::system_clock;

// A few words for the metrics' label, from the text the manager writes.
std::string restart_kind(const std::string& why) {
  static const std::pair<const char*, const char*> kinds[] = {
      {"it did not start playing", "startup-timeout"},
      {"it wrote nothing", "silence"},
      {"its pipeline has not been playing", "stall"},
      {"its preload did not complete", "preload-timeout"},
      {"a switch got no answer", "switch-timeout"},
      {"it refused", "preload-refusals"},
      {"it reports that playback stalled", "crash"},
      {"exited with status", "exited"},
      {"was killed by signal", "killed"},
  };
  for (const auto& [head, kind] : kinds)
    if (why.compare(0, strlen(head), head) == 0) return kind;
  return "other";
}

}  // namespace

void Manager::begin_showing() {
  // A switch goes on for a while after its seek has started the new file.
  run_.shown_at = run_.switch_seek_at.value_or(Moment::now(clock_sync_));
  run_.switch_seek_at.reset();
  run_.ended_at.reset();
  ++figures_.files_shown;
  if (run_.on_screen.valid()) ++shown_by_kind_[media_kind_name(media_kind(run_.on_screen.path))];
}

// Spans are the monotonic clock's: a step of the wall clock during a showing
// changes neither its record's seconds nor the counter.
void Manager::end_showing(const char* how) {
  if (!run_.on_screen.valid() || !run_.shown_at) return;
  Moment end = run_.ended_at.value_or(Moment::now(clock_sync_));
  play_log_.record(run_.on_screen.path, *run_.shown_at, end, run_.ended_at ? "end" : how,
                   media_kind_name(media_kind(run_.on_screen.path)));
  figures_.seconds_shown[run_.on_screen.path] += seconds_between(*run_.shown_at, end);
  run_.shown_at.reset();
}

void Manager::count_restart(const std::string& why) {
  ++figures_.restarts[restart_kind(why)];
  figures_.recent_restarts.emplace_back(utc_millis(SystemClock::now()), why);
  if (figures_.recent_restarts.size() > KEPT_RESTARTS) figures_.recent_restarts.pop_front();
}
