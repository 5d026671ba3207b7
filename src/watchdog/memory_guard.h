// The shared-memory guard, run by the main loop: above the threshold the
// process ends at once, since only its end frees the DMA buffers it holds.
#pragma once
#include <cstdint>

constexpr uint64_t SHMEM_THRESHOLD_KB = 2764800;
constexpr uint64_t SHMEM_CHECK_PERIOD = 300;  // iterations between two memory checks

// The "Shmem:" figure of a meminfo file in kB, 0 when it cannot be read.
uint64_t get_shmem_usage_kb(const char* meminfo_path = "/proc/meminfo");
// Every SHMEM_CHECK_PERIOD iterations; ends the process with status 2 above the threshold.
void check_shared_memory();
// For tests: where the memory figure is read from.
void set_meminfo_path_for_testing(const char* path);
