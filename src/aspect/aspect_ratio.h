// Display aspect ratio of a file (read with ffprobe), and the decision taken
// when a preload becomes ready: switch normally, or rebuild now or later.
#pragma once
#include <functional>
#include <string>

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

// ffprobe gets this long to answer; then it is killed and the ratio is unknown.
constexpr int FFPROBE_TIMEOUT_MS = 5000;

// Reads the preloaded file's ratio and that of the file the pipeline was built
// with (`current_location`; `has_filesrc` false when the pipeline has no file
// source) on a thread of its own, so that no streaming thread waits for
// ffprobe. `done` runs on that thread with both ratios (0 when unread), unless
// the probe was cancelled. One probe runs at a time: starting one cancels the last.
// Ratios that ffprobe gave are remembered by path and file identity, and the
// pipeline's file is probed only when its ratio is not known that way: that
// file changes only with a rebuild, so most preloads run one ffprobe.
void start_ratio_probe(const std::string& preload_path, bool has_filesrc, const std::string& current_location,
                       std::function<void(float preload_dar, float current_dar)> done);
// Kills a running ffprobe and waits for the probe's thread. Never call it
// from inside `done`.
void cancel_ratio_probe();

// Prints the report box for the two ratios and returns the decision.
ArOutcome report_aspect_ratio(float current_dar, float preload_dar);
// What the decision does: the rebuild flags, the remembered ratio, and
// "Preload complete" unless the rebuild must come first.
void apply_aspect_outcome(ArOutcome outcome, float preload_dar);
