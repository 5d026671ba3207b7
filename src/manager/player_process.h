// The player process: started on the file due first, sent commands, stopped
// or killed, and started again after a pause that grows while it keeps
// failing. One player at a time; main thread only, but for the line sink.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/player_client.h"
#include "manager/backoff.h"
#include "manager/output.h"
#include "manager/timing.h"

class PlayerProcess {
 public:
  struct Settings {
    std::string binary;
    std::vector<std::pair<std::string, std::string>> env;
    bool no_sound = false;
    double backoff_initial_s = 1;
    double backoff_max_s = 30;
    double stable_after_s = 60;
    std::vector<std::string> screen_args;
    std::vector<std::string> wall_args;  // the wall's clock, latency and base time; set before each start
  };
  // Called on the client's reader threads with every line, and the generation
  // of the player that wrote it.
  using LineSink = std::function<void(uint64_t generation, bool from_stderr, const std::string& text)>;

  PlayerProcess(Settings settings, Output& out, LineSink sink);
  ~PlayerProcess() { release(); }
  PlayerProcess(const PlayerProcess&) = delete;
  PlayerProcess& operator=(const PlayerProcess&) = delete;

  // Starts a player on `first_file`, or on its idle picture when that is
  // empty, and says so; or says why it could not, and returns false.
  bool start(const std::string& first_file);
  // The player's command line after its program: the location first, as
  // the player takes it, then the options.
  static std::vector<std::string> arguments(const Settings& settings, const std::string& first_file);
  void set_wall_args(std::vector<std::string> args) { settings_.wall_args = std::move(args); }
  bool running() const { return client_ != nullptr; }
  pid_t pid() const { return client_ ? client_->pid() : -1; }
  double ran_for() const { return seconds_since(started_at_); }
  void send(const std::string& command);

  // Lines are acted on only when they come from the current player. After
  // disown_lines() what it still writes is passed on, not acted on.
  bool current(uint64_t generation) const { return client_ && generation == generation_; }
  void disown_lines() { ++generation_; }

  // Ends it: with "exit", waiting a little for its last events to be
  // answered, or at once with SIGKILL. Its exit status, if it ended.
  std::optional<int> stop(bool graceful);
  // Its exit status once it has ended by itself; does not wait.
  std::optional<int> exit_status();
  // Lets go of the player; its reader threads are over on return.
  void release() { client_.reset(); }

  // The next start: due at once, or after the pause for a run of `ran_s`
  // seconds (which is said).
  void start_now() { start_at_ = SteadyClock::now(); }
  void start_later(double ran_s, bool display_lost = false);
  // True once, when a start is due.
  bool take_due_start();

 private:
  // Set up once.
  Settings settings_;
  Output& out_;
  LineSink sink_;

  // The player of this run; its reader threads call sink_ with generation_'s value at its start.
  std::unique_ptr<PlayerClient> client_;
  uint64_t generation_ = 0;
  SteadyClock::time_point started_at_{};

  // Restarts.
  RestartBackoff backoff_;
  std::optional<SteadyClock::time_point> start_at_;
};

// "exited with status 1", "was killed by signal 9 (Killed)".
std::string exit_text(int status);
