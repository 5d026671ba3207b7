// Display aspect ratio of a file (read with ffprobe), and the decision taken
// when a preload becomes ready: switch normally, or rebuild now or later.
#pragma once

constexpr int AR_IMMEDIATE_RESTART_ON_STARTUP = 1;
constexpr float AR_TOLERANCE = 0.01f;

// Reads the display aspect ratio of the first video stream. Returns 1 and the
// ratio on success, 0 (and 0.0) otherwise. ffprobe runs without a shell.
int get_video_dar(const char* path, float* out_dar);
// Parses ffprobe's "N:D" answer; 1 on success.
int parse_dar_answer(const char* line, int* num, int* den);

enum class ArOutcome { Normal, Scheduled, Immediate };
// The decision for the two ratios (0 when unread), printing its box lines.
ArOutcome decide_aspect_ratio(float current_dar, float preload_dar);
// Runs at the end of a preload's video pad handling.
void check_preload_aspect_ratio();
