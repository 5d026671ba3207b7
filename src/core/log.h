// Output to the manager's stream. Every line leaves in a single write() so
// that lines of different threads never interleave, and nothing is buffered.
#pragma once
#include <cstddef>

#define PLAYER_PRINTF(a, b) __attribute__((format(printf, a, b)))

// Formats and writes one whole line; a line break is appended.
void log_line(const char* fmt, ...) PLAYER_PRINTF(1, 2);
// Formats and writes the text exactly as given (for texts that carry their own "\n").
void log_raw(const char* fmt, ...) PLAYER_PRINTF(1, 2);
// Writes bytes to standard output in one call (retrying only on partial writes).
void write_stdout(const char* data, size_t len);
// Ends the process at once with the given status, after flushing stdio streams.
[[noreturn]] void terminate_process(int status);
