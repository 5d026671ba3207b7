// The manager's side of the run: the player's command channel and its output,
// read and answered as a prompt manager would, and the driver that preloads
// and sends each case's switches at the moment the case asks for.
#pragma once
#include <gst/gst.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "latency_types.h"

namespace latency {

// The player's channels, set up by main before the player starts.
extern int command_fd;    // the player's standard input
extern FILE* log_file;    // every line the player writes, timed; may be null
extern bool answer_acks;  // events acknowledged, as in production
extern int reaction_ms;   // between reading "end of video!" and writing "switch"

// Reads the player's output until it closes, timing and answering each line.
void read_player_output(int fd);

// Runs every case, on a thread of its own; what was measured stays in
// records when it stops early, and failure says why.
class Driver {
 public:
  Driver(const Options& o) : o_(o), rng_(o.seed) {}
  std::vector<SwitchRecord> records;
  std::string failure;

  void run();

 private:
  // The file on screen: which clip, when its first frame reached the sink, how long it is.
  struct OnScreen {
    int clip;
    gint64 start;
    double ms;
  };

  std::string path_of(int clip, bool mid) const;
  static bool is_arrival_of(const Event& e, int colour);
  bool fail(const std::string& why);
  bool wait_idle_cleanup(gint64 deadline);
  void sleep_until(gint64 t);
  bool preload(const std::string& path, SwitchRecord& r, bool arm);
  bool armed_in_time(SwitchRecord& r, gint64 last_done);
  Mode mode_of(int k) const;
  bool send_switch(SwitchRecord& r, const OnScreen& screen, gint64 last_done);
  bool await_switch(SwitchRecord& r, gint64& last_done, gint64& new_start);
  bool drive();

  const Options& o_;
  std::mt19937 rng_;
};

}  // namespace latency
