// The reference manager: keeps one player process running and plays a
// playlist through it in a loop, preloading each next file and switching to
// it when the file on screen ends.
#pragma once
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "manager/content_watch.h"
#include "manager/http_api.h"
#include "manager/line_intake.h"
#include "manager/output.h"
#include "manager/picture_clips.h"
#include "manager/play_log.h"
#include "manager/player_process.h"
#include "manager/player_run.h"
#include "manager/playlist.h"
#include "manager/service_notify.h"
#include "manager/sound_level.h"
#include "manager/wall_cycle.h"
#include "manager/snapshot.h"

struct ManagerConfig {
  std::string playlist;  // a directory of MP4 files and pictures or a text file listing them
  std::string player_binary;
  bool no_sound = false;
  // Passed on to every player: where and how it draws (--output, --rotate, --window), its decoder (--decoder).
  std::vector<std::string> screen_args;
  // Arm the switch to the next file for the moment the one on screen ends
  // (the player's switch_at_end) instead of switching on its "end of video!".
  bool switch_at_end = true;
  std::vector<std::pair<std::string, std::string>> player_env;
  Output::Options output;
  int rounds = 0;  // stop after this many rounds of the playlist; 0: never
  double startup_timeout_s = 30;
  double preload_timeout_s = 30;
  double switch_timeout_s = 20;
  double silence_timeout_s = 60;
  double stall_timeout_s = 30;
  double backoff_initial_s = 1;
  double backoff_max_s = 30;
  double stable_after_s = 60;
  double bad_file_retry_s = 3600;
  double empty_playlist_retry_s = 10;
  double settle_s = 3;  // a new or changed file is taken once unchanged this long
  HttpOptions http;
  WallOptions wall;      // a screen of a wall: leading it, following its leader, or neither
  // The screen's hours (--screen-on): outside them it sleeps and the player
  // is paused. None: always on.
  std::optional<Schedule> screen_on;
  std::string state_dir;  // what outlives a run (the sound's level); empty: nothing is kept
  std::string play_log;  // proof of play, one JSON line a showing; empty: none
  long long play_log_max_bytes = 20LL * 1024 * 1024;
  int play_log_keep = 5;  // older files kept at rotation
  // How pictures become clips; an empty cache directory is chosen by the
  // manager (beside the state directory, else the user's cache).
  PictureOptions pictures;
};

class Manager {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Manager(ManagerConfig config);
  ~Manager();
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;

  // Runs until `stop` becomes true or the requested rounds are played.
  // Returns the exit status: 0, or 1 when the playlist cannot be read at the start.
  int run(const std::atomic<bool>& stop);

 private:
  using Preload = PreloadState::State;
  // Whose doing the end of a player was.
  enum class Blame { Nobody, StartupFile, Preload, OnScreen };

  // The player's runs (player_runs.cpp): started by the loop, ended on
  // request, by a time-out or by themselves.
  void start_player();
  void stop_player(const std::string& why, bool graceful);
  void restart_player(const std::string& why, bool graceful);
  void check_player_exit();
  Blame blame_for_exit(int status) const;
  // Where to go on after the player ends: past the file on screen, or past a
  // file that is to blame for the end.
  void plan_resume(Blame blame);

  // The player's lines, passed on and acted on (manager.cpp, as all below).
  void deliver_pending();
  void deliver(const PlayerLine& line);
  void handle_line(const std::string& line);
  void handle_event(const std::string& event, const std::string& previous);

  // The cycle: the player's events and log lines, answered with commands.
  void on_ready();
  void on_playing();
  void on_preload_complete();
  void on_preload_error();
  void on_preload_missing(const std::string& path);
  void on_preload_failed(const std::string& path_and_reason);
  void finish_failed_preload();
  void on_error_line(const std::string& text);
  void on_error_debug_line(const std::string& text);
  void on_end_of_video();
  void on_reset(bool after_end);
  void show(const Slot& slot);
  void on_switch_done();
  void on_armed_switch_fired();
  void on_switch_ignored();
  void on_switch_refused(const std::string& why);
  void on_preload_dropped();
  // What the state allows next, and the time-outs and pauses of the cycle.
  void advance();
  void on_content_changed();
  void send_switch();
  void request_preload();
  // A picture is given to the player as its clip (picture_turns.cpp).
  enum class Media { Ready, Waiting, Failed };
  Media prepare_media(Slot& slot);
  double picture_seconds(int index) const;
  // The entry that plays after `index`, when it is a picture, has its clip made now.
  void make_ahead(int index);
  void follow_clips();
  // Drops the preload, ready or not, and any switch armed for it; the next
  // preload waits for the player's answer.
  void drop_preload(const std::string& why);
  // A preload whose item's window has closed is not shown: true when it was dropped.
  bool drop_if_out_of_window();
  void show_idle_if_due();
  void check_timers();
  void finish(const std::string& why);
  void send(const std::string& command);

  // A screen of a wall: the switch to a preload the wall plans is placed on
  // its clock (true when it is the wall's to place; `moved`: its time
  // changed, so a switch already armed is placed again), and the leader's
  // plan followed. A placement the player refuses becomes the switch at
  // the end.
  bool place_wall_switch(bool moved = false);
  void follow_wall_plan();
  void on_placement_refused(const std::string& why);

  // Showings, for the proof of play and the figures (showings.cpp).
  void begin_showing();
  // `how` it was cut short, unless its end came first.
  void end_showing(const char* how);
  void count_restart(const std::string& why);
  // The HTTP API's calls, carried out between the player's lines (api_calls.cpp).
  // What the API asked of a player goes with it.
  void forget_requests();
  void start_api();
  void serve_api();
  ApiReply handle_call(const std::string& action, const nlohmann::json& body);
  ApiReply go_to(int index);
  // A picture of the screen, asked of the player (snapshot.cpp).
  void take_snapshot(std::unique_ptr<ApiCall> call);
  // The picture of the state the API's reads answer from (api_views.cpp,
  // metrics.cpp).
  void publish_api();
  nlohmann::json status_json() const;
  nlohmann::json playlist_json() const;
  nlohmann::json kind_json(int index, const std::string& path) const;
  std::string metrics_text() const;

  // Set up once.
  ManagerConfig config_;
  Output out_;

  // The player's lines: pushed by its reader threads, taken by the main
  // thread. Declared before the process so that it outlives their threads.
  LineIntake lines_;

  // The player process and its restarts: started and ended in player_runs.cpp.
  PlayerProcess process_;
  std::string startup_failure_path_;  // the start-up file of a player that ended before it played

  // The playlist, and when to look at it again after it had nothing to play.
  PlaylistCursor playlist_;
  ContentWatch watch_;  // says when the playlist changed: after lines_, which it wakes
  std::optional<Clock::time_point> files_retry_at_;
  bool nothing_due_ = false;  // every playable file is outside its schedule now

  // This player's run, moved on by the cycle: afresh at every start and end of a player.
  PlayerRun run_;

  bool finished_ = false;  // the rounds asked for are played

  // Asked for through the API: the file on screen is to give way now (to the
  // next file, or to the item gone to), and the pipeline is held paused.
  bool cut_requested_ = false;
  std::optional<int> goto_index_;
  bool paused_ = false;
  Snapshots snapshots_;

  // Figures since the manager started.
  struct Figures {
    long long files_shown = 0, switches = 0, preload_failures = 0;
    double last_switch_unix_s = 0;
    std::map<std::string, double> seconds_shown;  // by path
    std::map<std::string, long long> restarts;    // by kind
    std::deque<std::pair<std::string, std::string>> recent_restarts;  // when (UTC), why
  } figures_;
  Clock::time_point started_at_ = Clock::now();
  Clock::time_point api_published_at_{};
  unsigned long long api_published_lines_ = 0;  // the manager's lines by the last picture
  bool api_stale_ = false;                      // a call was carried out since the last picture
  ClockSync clock_sync_;
  PlayLog play_log_;
  std::unique_ptr<HttpApi> api_;

  WallCycle wall_;
  PictureClips clips_;
  std::string clip_waited_;   // the picture whose clip the cycle waits for, said once
  bool clip_late_said_ = false;  // ... and that the file on screen ended meanwhile
  bool start_waits_for_clip_ = false;  // the player starts on a picture whose clip is being made
  std::map<std::string, long long> shown_by_kind_;
  ServiceNotifier notifier_;
  SoundLevel sound_;
  // The screen's sleep (screen_hours.cpp): by its hours, or as an operator
  // asked until the hours next change. Woken, it shows the next file first.
  bool screen_hours_say_on() const;
  // The loop's next wake at the latest: also the next minute of the wall
  // clock when the hours may change then.
  Clock::time_point next_wake(Clock::duration period) const;
  void follow_screen_hours();
  void set_screen(bool on, const std::string& why);
  void finish_wake();
  struct ScreenState {
    bool on = true;            // what the player is told
    bool told = false;         // a "screen" command was ever sent: each new player is told too
    std::optional<bool> held;  // an operator's choice, until the hours next change
    bool hours_on = true;      // the hours' answer when last looked at
    std::optional<SteadyClock::time_point> waking_since;  // woken; the next file is on its way
  } screen_;

  // The H.264 decoder the player said it chose (its line at start).
  struct DecoderSeen {
    std::string element;
    bool hardware = false;
  };
  std::optional<DecoderSeen> decoder_;
};
