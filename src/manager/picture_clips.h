// Pictures in the playlist, made into still clips the player plays as any
// file: one clip per picture (and its size and time of change), screen size,
// rotation and time on screen, made by a program of the project's own in a
// process of its own (a bad picture, or its memory, never reaches the
// manager), one at a time, with a time-out, and kept in a cache of bounded
// size, the clip used the longest ago going first. Main thread only.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "manager/output.h"
#include "manager/playlist.h"
#include "manager/timing.h"

struct PictureOptions {
  std::string maker = "signage_picture_clip";  // the clip maker program
  std::string dir;      // the cache
  long long max_bytes = 512LL * 1024 * 1024;
  // The clip's frame as the player gets it, before its --rotate: the files
  // around it should have its shape, or every change to a picture is a rebuild.
  int width = 1920, height = 1080;
  int fps = 25;
  std::string rotate = "0";  // the player's --rotate: a picture is turned back against it
  double seconds = 10;       // a picture's time unless its entry gives one
  double timeout_s = 60;     // a clip not made by then is given up
};

// The cache's file name for a clip: the picture, its size and time of
// change, and how the clip is made.
std::string picture_clip_name(const PictureOptions& options, const std::string& picture, const FileStamp& stamp,
                              double seconds);

// The clips to remove from `dir` so that its clips fit in `max_bytes`: the
// least recently used first (their time of change, set again at each use),
// never one named in `keep`.
std::vector<std::string> clips_over_bound(const std::string& dir, long long max_bytes,
                                          const std::vector<std::string>& keep);

class PictureClips {
 public:
  PictureClips(PictureOptions options, Output& out);
  ~PictureClips();  // a maker still running is killed
  PictureClips(const PictureClips&) = delete;
  PictureClips& operator=(const PictureClips&) = delete;

  enum class State { Ready, Making, Failed };
  struct Answer {
    State state = State::Making;
    std::string clip;  // Ready: its path
    std::string why;   // Failed: why, said once
  };
  // The clip of `picture` shown for `seconds`, started now when it is not
  // made or being made (before any other being made ahead).
  Answer want(const std::string& picture, double seconds);
  // Makes the clip now when no other is being made.
  void ahead(const std::string& picture, double seconds);
  // Takes a maker's end, or ends one past its time. Each pass of the loop.
  void poll();
  // True once, when a clip was finished or given up since the last call.
  bool take_news();

  const PictureOptions& options() const { return options_; }
  long long made() const { return made_; }
  long long failed() const { return failed_; }
  long long cache_bytes() const { return cache_bytes_; }

 private:
  struct Job {
    std::string key, picture, part, log;
    FileStamp stamp;
    pid_t pid = -1;
    SteadyClock::time_point started;
  };
  void start(const std::string& picture, double seconds, const std::string& key, const FileStamp& stamp);
  void finish(int status);
  void kill_job();
  void trim();

  PictureOptions options_;
  Output& out_;
  std::optional<Job> job_;
  // Pictures whose clip could not be made, by the clip's name, until the picture changes.
  std::map<std::string, std::string> failures_;
  std::vector<std::string> recent_;  // the clips handed out last, never removed by the bound
  bool news_ = false;
  long long made_ = 0, failed_ = 0, cache_bytes_ = 0;
};
