#include "watchdog/memory_guard.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/log.h"
#include "core/player_state.h"

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
