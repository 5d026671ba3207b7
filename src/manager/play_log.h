// Proof of play: one JSON line for each showing of a file, written as the
// showing ends, in a file moved aside at a size so that it never fills the
// board's storage.
#pragma once
#include <chrono>
#include <cstdio>
#include <string>

class PlayLog {
 public:
  using Time = std::chrono::system_clock::time_point;
  // An empty path: no log.
  PlayLog(std::string path, long long max_bytes);
  ~PlayLog();
  PlayLog(const PlayLog&) = delete;
  PlayLog& operator=(const PlayLog&) = delete;

  // `ended`: "end" (played to its end), "command" (cut by an operator's
  // request), "rebuild" (cut by a rebuild of the player's pipeline) or
  // "player-ended" (the player stopped or failed).
  void record(const std::string& path, Time start, Time end, const char* ended);

 private:
  void open();
  std::string path_;
  long long max_bytes_;
  FILE* file_ = nullptr;
  long long bytes_ = 0;
};

// "2026-12-08T18:34:36.123Z"
std::string utc_millis(std::chrono::system_clock::time_point t);
