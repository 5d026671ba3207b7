// Output to the manager's stream. Every line leaves in a single write() so
// that lines of different threads never interleave, and nothing is buffered.
#pragma once
#include <cstddef>

#define PLAYER_PRINTF(a, b) __attribute__((format(printf, a, b)))

// Formats and writes one whole line; a line break is appended.
void log_line(const char* fmt, ...) PLAYER_PRINTF(1, 2);
// A line of the bus handler's running commentary: written only while
// maxlog is set, which it always is, so it leaves exactly as log_line's.
void log_verbose(const char* fmt, ...) PLAYER_PRINTF(1, 2);
// Formats and writes the text exactly as given (for texts that carry their own "\n").
void log_raw(const char* fmt, ...) PLAYER_PRINTF(1, 2);
// How long a write may wait for a manager that does not read before the
// player gives up on it and ends with status 1.
constexpr int OUTPUT_STALL_LIMIT_MS = 5000;

// Makes a pipe on standard output non-blocking, so that no write can hang.
// Called once at start-up; a terminal or file is left as it is.
void prepare_output();
// Writes bytes to standard output in one call (retrying only on partial
// writes). Waits at most OUTPUT_STALL_LIMIT_MS for room, then ends the process.
void write_stdout(const char* data, size_t len);
// A line written only if there is room right now: the last words of a
// watchdog, whose exit must not wait for a manager that stopped reading.
void log_line_if_room(const char* fmt, ...) PLAYER_PRINTF(1, 2);
// Ends the process at once with the given status. Standard output is not
// flushed (nothing of ours is buffered there, and it may be what is stuck).
[[noreturn]] void terminate_process(int status);
