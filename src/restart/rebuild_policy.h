// Long-run safeguards run by the main loop: the shared-memory guard, and the
// rebuild of the pipeline after a fixed number of iterations.
#pragma once
#include <cstdint>

#include "core/player_state.h"

constexpr uint64_t MAX_ITERATIONS_BEFORE_RESTART = 150000;
constexpr uint64_t SHMEM_THRESHOLD_KB = 2764800;
constexpr uint64_t SHMEM_CHECK_PERIOD = 300;          // iterations between two memory checks
constexpr uint64_t RESTART_PROGRESS_PERIOD = 10000;   // iterations between two progress lines

// The "Shmem:" figure of a meminfo file in kB, 0 when it cannot be read.
uint64_t get_shmem_usage_kb(const char* meminfo_path = "/proc/meminfo");
// Every SHMEM_CHECK_PERIOD iterations; ends the process with status 2 above the threshold.
void check_shared_memory();
void print_restart_progress();
void schedule_restart_by_iterations();
// Runs a pending rebuild with the heartbeat stopped; a failed rebuild sets quit.
void execute_pending_restart(PlayerState& st);
// For tests: where the memory figure is read from.
void set_meminfo_path_for_testing(const char* path);
