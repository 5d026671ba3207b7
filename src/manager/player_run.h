// What the manager knows of one player run: how far its start got, what is
// on screen, the preload of the next file, the switch to it, the rebuilds the
// player makes of its own accord, and the first error. Main thread only. Each
// run starts from a fresh PlayerRun, and each state machine in it changes
// only through its own steps.
#pragma once
#include <chrono>
#include <optional>
#include <set>
#include <string>

#include "manager/play_log.h"
#include "manager/player_errors.h"
#include "manager/playlist.h"
#include "manager/timing.h"

// How far the player's start got: its "ready" is answered with "play", and
// its "playing" ends the start.
class RunPhase {
 public:
  enum class State { NoPlayer, WaitReady, WaitPlaying, Running };

  bool starting() const { return state_ == State::WaitReady || state_ == State::WaitPlaying; }
  bool running() const { return state_ == State::Running; }

  void started() { state_ = State::WaitReady; }
  // Each true when its event came in turn.
  bool ready() { return step(State::WaitReady, State::WaitPlaying); }
  bool playing() { return step(State::WaitPlaying, State::Running); }

 private:
  bool step(State from, State to) {
    if (state_ != from) return false;
    state_ = to;
    return true;
  }
  State state_ = State::NoPlayer;
};

// The preload of the next file.
class PreloadState {
 public:
  // Failed: the player said the file cannot be preloaded; its "Preload error" is still to come.
  enum class State { None, Requested, Complete, Failed };

  bool is(State s) const { return state_ == s; }
  bool requested_or_complete() const { return state_ == State::Requested || state_ == State::Complete; }
  const Slot& slot() const { return slot_; }
  double waited() const { return seconds_since(asked_at_); }
  double failed_for() const { return seconds_since(failed_at_); }

  void asked(const Slot& slot) {
    state_ = State::Requested;
    slot_ = slot;
    asked_at_ = SteadyClock::now();
  }
  void completed() { state_ = State::Complete; }
  // Refused by the player: its slot is kept, to ask for it again.
  void refused() { state_ = State::None; }
  void failed() {
    state_ = State::Failed;
    slot_ = Slot();
    failed_at_ = SteadyClock::now();
  }
  // Switched to, dropped by a rebuild or by a refused switch, or its failure dealt with.
  void done() {
    state_ = State::None;
    slot_ = Slot();
  }

 private:
  State state_ = State::None;
  Slot slot_;
  SteadyClock::time_point asked_at_{};
  SteadyClock::time_point failed_at_{};
};

// The switch in flight, one at a time: sent by the manager, or made by the
// player itself as the file on screen ends.
class SwitchState {
 public:
  // ForRebuild: the switch the player ignores, as it does the first one after a rebuild.
  enum class State { None, Sent, ForRebuild };

  bool outstanding() const { return state_ != State::None; }
  bool for_rebuild() const { return state_ == State::ForRebuild; }
  double waited() const { return seconds_since(sent_at_); }

  void sent() {
    if (state_ == State::None) state_ = State::Sent;
    sent_at_ = SteadyClock::now();
  }
  void taken_by_rebuild() { state_ = State::ForRebuild; }
  // Done, ignored or refused.
  void answered() { state_ = State::None; }

 private:
  State state_ = State::None;
  SteadyClock::time_point sent_at_{};
};

// The switch armed in the player for the end of the file on screen.
class ArmState {
 public:
  // Refused: the player would not arm it; the switch is sent at the end instead.
  enum class State { None, Requested, Armed, Fired, Refused };

  bool none() const { return state_ == State::None; }

  void asked() { state_ = State::Requested; }
  void taken() { move(State::Requested, State::Armed); }
  void disarmed() { move(State::Armed, State::None); }
  void refused() { move(State::Requested, State::Refused); }
  // The player switches as the file ends: true when it was armed (or about to be).
  bool fired() { return move(State::Armed, State::Fired) || move(State::Requested, State::Fired); }
  // The switch it made is done: true when it was the armed one.
  bool fired_switch_done() { return move(State::Fired, State::None); }
  // A new preload may be armed again.
  void preload_complete() { move(State::Refused, State::None); }
  void cleared() { state_ = State::None; }

 private:
  bool move(State from, State to) {
    if (state_ != from) return false;
    state_ = to;
    return true;
  }
  State state_ = State::None;
};

// A rebuild of the player's pipeline whose closing event is still to come.
class RebuildState {
 public:
  // AwaitingComplete: a rebuild for a preload says with "Preload complete" that the file is on screen.
  // AwaitingReset: a switch was ignored before the rebuild's "reset" came.
  enum class State { None, AwaitingComplete, AwaitingReset };

  bool awaited() const { return state_ != State::None; }
  bool awaiting_complete() const { return state_ == State::AwaitingComplete; }
  double waited() const { return seconds_since(at_); }

  // Its "reset" came; true when a switch was ignored for it before.
  bool reset(bool for_preload) {
    bool underway = state_ == State::AwaitingReset;
    state_ = for_preload ? State::AwaitingComplete : State::None;
    at_ = SteadyClock::now();
    return underway;
  }
  void switch_ignored() {
    state_ = State::AwaitingReset;
    at_ = SteadyClock::now();
  }
  // Its event came, or will not come any more.
  void over() { state_ = State::None; }

 private:
  State state_ = State::None;
  SteadyClock::time_point at_{};
};

// The end of the file on screen, as the player's "end of video!" tells it.
class EndState {
 public:
  // Pending: it ended; the switch follows once the preload is complete.
  // Owed: its armed switch finished it, and its "end of video!" is still to come.
  enum class State { None, Pending, Owed };

  bool pending() const { return state_ == State::Pending; }

  // An "end of video!": true when it was the owed one, now settled.
  bool settle_owed() {
    if (state_ != State::Owed) return false;
    state_ = State::None;
    return true;
  }
  void ended() { state_ = State::Pending; }
  void finished_by_switch() { state_ = State::Owed; }
  // Switched away from the file that ended.
  void switched() {
    if (state_ == State::Pending) state_ = State::None;
  }
  void cleared() { state_ = State::None; }

 private:
  State state_ = State::None;
};

// One player run, from its start to its end.
struct PlayerRun {
  // Its start: set when it starts, moved on by its first events.
  RunPhase phase;
  Slot startup;               // the file the player was started with
  bool started_idle = false;  // started without a file, on the idle picture

  // The file on screen: set by the switches and rebuilds, ended by its "end of video!".
  Slot on_screen;
  SteadyClock::time_point on_screen_since{};
  std::optional<Moment> shown_at;        // for the proof of play
  std::optional<Moment> ended_at;        // its end of stream came
  std::optional<Moment> switch_seek_at;  // where the next file starts: a switch's seek, a rebuild's new pipeline
  EndState end;
  bool finishing = false;  // the last round is on screen: stop at its end

  // The next file: asked for when the state allows, answered by the player's events.
  PreloadState preload;
  int preload_refusals = 0;
  std::optional<SteadyClock::time_point> preload_retry_at;

  // A drop_preload sent and not yet answered: until its line comes, an armed
  // switch may still take the preload to the screen.
  std::optional<SteadyClock::time_point> drop_sent_at;

  // The switch to it, sent or armed, and the rebuilds that take a switch's place.
  SwitchState switching;
  ArmState arm;
  bool placement_sent = false;  // a switch_at went out and the player has not yet said it is armed
  std::optional<SteadyClock::time_point> switch_retry_at;
  RebuildState rebuild;

  // Signs of life: any line, and the heartbeat's report of a playing pipeline.
  SteadyClock::time_point last_line_at{};
  SteadyClock::time_point last_flowing_at{};

  // Events: the last one, and those the player is about to write again.
  std::string last_event;
  std::set<std::string> repeat_expected;  // acknowledgements the player is about to ask for again

  // The first pipeline error: the cause, when the player ends of it.
  std::optional<ErrorOrigin> first_error;
  std::string first_error_text;
  bool error_debug_due = false;  // its "Debug info" line, which names the element, is still to come
  bool display_failed = false;   // it said its display could not be reached or was lost
};
