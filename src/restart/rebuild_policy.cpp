#include "restart/rebuild_policy.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/log.h"
#include "player/pipeline_restart.h"
#include "watchdog/heartbeat.h"

namespace {
std::string meminfo_path = "/proc/meminfo";
}

void set_meminfo_path_for_testing(const char* path) { meminfo_path = path; }

uint64_t get_shmem_usage_kb(const char* path) {
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  char line[256];
  uint64_t kb = 0;
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, "Shmem:", 6) == 0) {
      unsigned long value = 0;
      if (sscanf(line, "Shmem: %lu", &value) == 1) kb = value;
      break;
    }
  }
  fclose(f);
  return kb;
}

void check_shared_memory() {
  if (main_loop_iterations % SHMEM_CHECK_PERIOD != 0) return;
  uint64_t kb = get_shmem_usage_kb(meminfo_path.c_str());
  if (kb <= SHMEM_THRESHOLD_KB) return;
  log_raw("[SHMEM] ⚠️ CRITICAL: High memory detected: %lu KB (%.1f GB) > threshold %lu KB\n",
          static_cast<unsigned long>(kb), kb / 1024.0 / 1024.0, static_cast<unsigned long>(SHMEM_THRESHOLD_KB));
  log_line("[SHMEM] 💀 Terminating process immediately to free DMA-BUF memory...");
  _exit(2);
}

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
    restart_scheduled = 1;
    waiting_for_video_end = 1;
  }
}

void execute_pending_restart(PlayerState& st) {
  log_line("[RESTART] 🔄 Executing restart (AR fix or scheduled)...");
  restart_pending = 0;
  stop_heartbeat();
  if (perform_complete_pipeline_restart(st, st.no_sound)) {
    if (st.bus) gst_object_unref(st.bus);
    st.bus = st.pipeline ? gst_element_get_bus(st.pipeline) : nullptr;
    start_heartbeat();
  } else {
    log_line("[RESTART] ❌ CRITICAL: Restart failed - terminating");
    st.quit = TRUE;
  }
}
