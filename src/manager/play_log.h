// Proof of play: one JSON line for each showing of a file, written and on
// disk as the showing ends. Spans come from the monotonic clock, so that a
// step of the wall clock (NTP setting a board without a real-time clock)
// changes no duration; the start and end are the wall clock's, in UTC, each
// with whether that clock was synchronised then. The file is moved aside at
// a size, keeping a number of older ones, so that it never fills the board's
// storage; a record that cannot be written waits in memory (a bounded
// number) until the file can be written again. What is written stays: a
// line cut short is taken back to where the file ended before it (the
// file's own size, so a file truncated or rotated by someone else meanwhile
// is never cut or padded), and a rotation that cannot move the file aside
// changes nothing on disk and is tried again later.
#pragma once
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <optional>
#include <string>

#include "manager/timing.h"

// Whether the wall clock is synchronised: the kernel's word (adjtimex), or,
// where a service may not ask it (systemd's ProtectClock), timedatectl's,
// asked on a thread of its own at most once a minute. nullopt: not known.
class ClockSync {
 public:
  ~ClockSync();
  std::optional<bool> now();

 private:
  std::optional<bool> answer_;
  std::optional<SteadyClock::time_point> asked_at_;
  std::future<std::optional<bool>> asking_;
};

// A moment of a showing.
struct Moment {
  SteadyClock::time_point steady{};
  std::chrono::system_clock::time_point wall{};
  std::optional<bool> synced;
  static Moment now(ClockSync& sync) { return {SteadyClock::now(), std::chrono::system_clock::now(), sync.now()}; }
};

// Seconds from one moment to another, on the monotonic clock.
inline double seconds_between(const Moment& from, const Moment& to) {
  return std::chrono::duration<double>(to.steady - from.steady).count();
}

class PlayLog {
 public:
  struct Options {
    std::string path;  // empty: no log
    long long max_bytes = 20LL * 1024 * 1024;
    int keep = 5;  // older files, FILE.1 (the newest) to FILE.keep
    size_t max_waiting = 10000;
    double rotate_retry_s = 60;  // after a rotation that could not move the file aside
  };
  // `say` tells of a failure, once until it is over, and of the recovery.
  PlayLog(Options options, std::function<void(const std::string&)> say);
  ~PlayLog();
  PlayLog(const PlayLog&) = delete;
  PlayLog& operator=(const PlayLog&) = delete;

  // `ended`: "end" (played to its end), "command" (cut by an operator's
  // request), "rebuild" (cut by a rebuild of the player's pipeline) or
  // "player-ended" (the player stopped or failed). `kind`: "video" or "picture".
  void record(const std::string& path, const Moment& start, const Moment& end, const char* ended,
              const char* kind = "video");
  // Tries the records that wait again, at most every few seconds.
  void retry();
  size_t waiting() const { return waiting_.size(); }

 private:
  void write_waiting();
  bool open();
  // The path names another file than the one open (moved aside or removed
  // by someone else): it is opened again.
  bool replaced() const;
  bool write_line(const std::string& line);
  void rotate_if_due(long long size);
  bool rotate();
  void failed(const std::string& what);

  Options options_;
  std::function<void(const std::string&)> say_;
  int fd_ = -1;
  bool rotates_ = false;  // a regular file: devices and pipes are never renamed
  bool rotate_failed_ = false;
  SteadyClock::time_point next_rotation_{};  // after a failed one
  std::deque<std::string> waiting_;
  size_t dropped_ = 0;           // records given up while the file could not be written
  std::string failure_;          // the failure said, until a write succeeds
  SteadyClock::time_point next_try_{};
};

// "2026-12-08T18:34:36.123Z"
std::string utc_millis(std::chrono::system_clock::time_point t);
