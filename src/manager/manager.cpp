#include "manager/manager.h"

#include <unistd.h>

#include <climits>
#include <cstring>

#include "manager/timing.h"

namespace {

using Clock = Manager::Clock;

// Lines of the player's log the cycle relies on besides its events: the
// outcome of a switch, a preload of a file that vanished, the notice that an
// event is about to be written again because its answer came late, and the
// pipeline state the heartbeat reports.
constexpr const char* SWITCH_DONE = "[SWITCH] Command completed successfully!";
constexpr const char* SWITCH_IGNORED = "[SWITCH] 🔇 Ignoring switch after reset (already handled internally)";
constexpr const char* SWITCH_REJECTED = "[SWITCH] REJECTED";
constexpr const char* SWITCH_ERROR = "[SWITCH] ERROR";
// The armed switch: taken, forgotten, and happening as the file ends.
constexpr const char* ARMED = "[SWITCH AT END] Armed";
constexpr const char* DISARMED = "[SWITCH AT END] Disarmed";
constexpr const char* ARMED_SWITCH_FIRED = "[SWITCH AT END] Current video ended - switching";
constexpr const char* PRELOAD_MISSING = "ERROR: Preload file does not exist: ";
// A preload that will never complete: "<prefix><path>: <reason>", then "Preload error".
constexpr const char* PRELOAD_FAILED = "[PRELOAD] FAILED ";
// A pipeline error, and the text that names the element it came from.
constexpr const char* BUS_ERROR = "[stderr] Erro: ";
constexpr const char* BUS_ERROR_DEBUG = "[stderr] Debug info: ";
constexpr const char* ACK_RETRY = "[ACK RETRY] No ACK for '";
// The heartbeat's report of the pipeline's state, every few seconds.
constexpr const char* HEARTBEAT_STATE = "[HEARTBEAT]   └─ Pipeline: state=";

constexpr double REFUSAL_PAUSE_S = 0.5;
constexpr int MAX_REFUSALS = 20;
constexpr double REBUILD_EVENT_WAIT_S = 15;
// How long the "Preload error" that follows a failed preload's line may take.
constexpr double FAILURE_EVENT_WAIT_S = 5;
constexpr auto POLL_PERIOD = std::chrono::milliseconds(200);

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

// Whole paths in the logs and for the player, whatever its working directory.
ManagerConfig with_whole_paths(ManagerConfig config) {
  if (!config.playlist.empty() && config.playlist[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd)) config.playlist = std::string(cwd) + "/" + config.playlist;
  }
  return config;
}

}  // namespace

Manager::Manager(ManagerConfig config)
    : config_(with_whole_paths(std::move(config))),
      out_(config_.output),
      process_({config_.player_binary, config_.player_env, config_.no_sound, config_.backoff_initial_s,
                config_.backoff_max_s, config_.stable_after_s},
               out_, [this](uint64_t generation, bool from_stderr, const std::string& text) {
                 lines_.push(generation, from_stderr, text);
               }),
      playlist_(config_.playlist, config_.rounds, config_.bad_file_retry_s, out_) {}

Manager::~Manager() {
  // The player's reader threads call into this object: end them first.
  process_.release();
}

int Manager::run(const std::atomic<bool>& stop) {
  playlist_.reload();
  if (!playlist_.loaded()) return 1;
  out_.manager("playlist " + config_.playlist + ": " + std::to_string(playlist_.size()) + " files");
  process_.start_now();
  while (!stop && !finished_) {
    if (process_.take_due_start()) start_player();
    lines_.take(Clock::now() + POLL_PERIOD);
    deliver_pending();
    check_player_exit();
    check_timers();
  }
  if (stop) out_.manager("stopping on request");
  stop_player("the manager is stopping", true);
  return 0;
}

// ---------------------------------------------------------------- player process

void Manager::start_player() {
  // The player starts on the file due next and is then told to preload that
  // same file and switch to it at once: its own start-up file never reports
  // its end, a switched-to file does. Starting on the idle picture instead
  // would make the first preload a complete rebuild.
  Slot first;
  switch (playlist_.pick_next(first)) {
    case PlaylistCursor::Pick::Finished:
      finish("played " + std::to_string(config_.rounds) + " rounds");
      return;
    case PlaylistCursor::Pick::Nothing:
      break;
    case PlaylistCursor::Pick::Found:
      playlist_.retry(first);
      break;
  }
  if (!process_.start(first.path)) {
    if (first.valid()) playlist_.retry(first);
    process_.start_later(0);
    return;
  }
  reset_session();
  startup_slot_ = first;
  started_idle_ = !first.valid();
  phase_ = Phase::WaitReady;
  last_line_at_ = last_flowing_at_ = Clock::now();
}

void Manager::stop_player(const std::string& why, bool graceful) {
  if (!process_.running()) return;
  process_.disown_lines();
  pid_t pid = process_.pid();
  out_.manager("stopping the player (pid " + std::to_string(pid) + "): " + why);
  std::optional<int> status = process_.stop(graceful);
  // Its last lines are passed on before the line about its end.
  lines_.take(Clock::now());
  deliver_pending();
  out_.manager("player (pid " + std::to_string(pid) + ") " + (status ? exit_text(*status) : "did not end"));
  process_.release();
  reset_session();
}

void Manager::check_player_exit() {
  std::optional<int> status = process_.exit_status();
  if (!status) return;
  // Everything it wrote before it ended is queued by now: act on it first.
  lines_.take(Clock::now());
  deliver_pending();
  if (!process_.running()) return;
  double ran = process_.ran_for();
  out_.manager("player (pid " + std::to_string(process_.pid()) + ") " + exit_text(*status) + " after " +
               seconds_text(ran));
  Blame blame = blame_for_exit(*status);
  if (*status == 1 && first_error_ && blame == Blame::Nobody)
    out_.manager("no file is blamed for its error (" + first_error_text_ + "), which came from " +
                 (first_error_->element.empty() ? std::string("an element it does not name") : first_error_->element));
  plan_resume(blame);
  process_.disown_lines();
  process_.release();
  reset_session();
  process_.start_later(ran);
}

// Only the player's own fatal error (status 1), and only one posted by a part
// that reads or decodes a file, counts against a file: a display or sound
// server not there yet, an unanswered event, a stalled loop or a signal says
// nothing about the file. The first error is the cause; those after it in the
// same breath are mostly its consequences.
Manager::Blame Manager::blame_for_exit(int status) const {
  if (status != 1 || !first_error_ || !first_error_->file_part) return Blame::Nobody;
  if (phase_ != Phase::Running) return startup_slot_.valid() ? Blame::StartupFile : Blame::Nobody;
  // A preload branch's error while it loads is taken as the preload's, though
  // the branch on screen came from a preload too.
  if (preload_ == Preload::Requested && preload_slot_.valid() && first_error_->preload_branch) return Blame::Preload;
  // During a switch it may be either file's: the next start, with the file
  // switched to, tells.
  if (switch_outstanding_) return Blame::Nobody;
  return on_screen_.valid() ? Blame::OnScreen : Blame::Nobody;
}

void Manager::restart_player(const std::string& why, bool graceful) {
  double ran = process_.ran_for();
  plan_resume(Blame::Nobody);
  stop_player(why, graceful);
  process_.start_later(ran);
}

void Manager::plan_resume(Blame blame) {
  if (phase_ != Phase::Running) {
    if (!startup_slot_.valid()) return;
    if (blame != Blame::StartupFile) {
      playlist_.retry(startup_slot_);
      return;
    }
    // Ended before it played, of an error that names the file's source,
    // demuxer or decoder: the file, or a passing fault (a file still being
    // copied); a second such end in a row with the same file settles it.
    if (startup_failure_path_ == startup_slot_.path) {
      startup_failure_path_.clear();
      playlist_.mark_bad(startup_slot_, "the player failed twice when started with it");
      playlist_.resume_after(startup_slot_);
    } else {
      startup_failure_path_ = startup_slot_.path;
      playlist_.retry(startup_slot_);
    }
    return;
  }
  if (blame == Blame::Preload && preload_slot_.valid()) {
    playlist_.mark_bad(preload_slot_, "the player failed while loading it");
    playlist_.resume_after(preload_slot_);
  } else if (blame == Blame::OnScreen && on_screen_.valid()) {
    playlist_.mark_bad(on_screen_, "the player failed while playing it");
    playlist_.resume_after(on_screen_);
  } else if (on_screen_.valid()) {
    playlist_.resume_after(on_screen_);
  } else if ((preload_ == Preload::Requested || preload_ == Preload::Complete) && preload_slot_.valid()) {
    playlist_.retry(preload_slot_);
  }
}

void Manager::reset_session() {
  phase_ = Phase::NoPlayer;
  on_screen_ = Slot();
  preload_slot_ = Slot();
  preload_ = Preload::None;
  preload_refusals_ = 0;
  preload_retry_at_.reset();
  end_pending_ = false;
  startup_slot_ = Slot();
  started_idle_ = false;
  switch_outstanding_ = false;
  arm_ = Arm::None;
  end_owed_ = false;
  switch_for_rebuild_ = false;
  switch_retry_at_.reset();
  expect_rebuild_complete_ = false;
  rebuild_underway_ = false;
  finishing_ = false;
  last_event_.clear();
  repeat_expected_.clear();
  first_error_.reset();
  first_error_text_.clear();
  error_debug_due_ = false;
}

// ---------------------------------------------------------------- lines

void Manager::deliver_pending() {
  PlayerLine line;
  while (lines_.next(line)) deliver(line);
}

void Manager::deliver(const PlayerLine& line) {
  if (line.from_stderr) {
    out_.player_stderr(line.text);
    return;
  }
  out_.player(line.text);
  if (process_.current(line.generation)) handle_line(line.text);
}

void Manager::handle_line(const std::string& line) {
  last_line_at_ = Clock::now();
  if (const char* ack = ack_for_event(line)) {
    // The client has answered it already; a line written again only because
    // the answer came late is not a new event.
    if (repeat_expected_.erase(ack)) return;
    std::string previous = last_event_;
    last_event_ = line;
    handle_event(line, previous);
    return;
  }
  if (line == "ready") {
    on_ready();
  } else if (starts_with(line, HEARTBEAT_STATE)) {
    if (starts_with(line.substr(strlen(HEARTBEAT_STATE)), "PLAYING")) last_flowing_at_ = Clock::now();
  } else if (starts_with(line, ACK_RETRY)) {
    std::string rest = line.substr(strlen(ACK_RETRY));
    repeat_expected_.insert(rest.substr(0, rest.find('\'')));
  } else if (line == SWITCH_DONE) {
    on_switch_done();
  } else if (starts_with(line, ARMED)) {
    if (arm_ == Arm::Requested) arm_ = Arm::Armed;
  } else if (line == DISARMED) {
    if (arm_ == Arm::Armed) arm_ = Arm::None;
  } else if (line == ARMED_SWITCH_FIRED) {
    on_armed_switch_fired();
  } else if (line == SWITCH_IGNORED) {
    if (arm_ == Arm::Requested && !switch_outstanding_) arm_ = Arm::Refused;  // the arming took the ignored switch's part
    on_switch_ignored();
  } else if (starts_with(line, SWITCH_REJECTED) || starts_with(line, SWITCH_ERROR)) {
    // A refused arming leaves the switch to be sent at the end.
    if (arm_ == Arm::Requested && !switch_outstanding_) arm_ = Arm::Refused;
    on_switch_refused(line);
  } else if (starts_with(line, PRELOAD_MISSING)) {
    on_preload_missing(line.substr(strlen(PRELOAD_MISSING)));
  } else if (starts_with(line, PRELOAD_FAILED)) {
    on_preload_failed(line.substr(strlen(PRELOAD_FAILED)));
  } else if (starts_with(line, BUS_ERROR)) {
    on_error_line(line.substr(strlen(BUS_ERROR)));
  } else if (starts_with(line, BUS_ERROR_DEBUG)) {
    on_error_debug_line(line.substr(strlen(BUS_ERROR_DEBUG)));
  }
}

void Manager::handle_event(const std::string& event, const std::string& previous) {
  if (event == "playing") {
    on_playing();
  } else if (event == "Preload complete") {
    on_preload_complete();
  } else if (event == "Preload error") {
    on_preload_error();
  } else if (event == "end of video!") {
    on_end_of_video();
  } else if (event == "reset") {
    on_reset(previous == "end of video!");
  } else if (event == "stopped") {
    // Nothing here asks for a stop; a screen left on a still picture helps no one.
    out_.manager("the player reports it stopped; resuming playback");
    send("play");
  } else if (event == "crash") {
    restart_player("it reports that playback stalled", true);
  }
}

// ---------------------------------------------------------------- the cycle

void Manager::on_ready() {
  if (phase_ != Phase::WaitReady) return;
  phase_ = Phase::WaitPlaying;
  send("play");
}

void Manager::on_playing() {
  if (phase_ != Phase::WaitPlaying) return;
  phase_ = Phase::Running;
  startup_failure_path_.clear();
  advance();
}

void Manager::on_preload_complete() {
  if (expect_rebuild_complete_) {
    // The rebuild announcing that the preloaded file is on screen already.
    expect_rebuild_complete_ = false;
    advance();
    return;
  }
  if (preload_ != Preload::Requested) {
    out_.manager("ignoring a 'Preload complete' no preload asked for");
    return;
  }
  preload_ = Preload::Complete;
  preload_refusals_ = 0;
  if (arm_ == Arm::Refused) arm_ = Arm::None;
  advance();
}

void Manager::on_preload_error() {
  if (preload_ == Preload::Failed) {  // the event that follows a failure already dealt with
    finish_failed_preload();
    return;
  }
  if (preload_ != Preload::Requested) {
    out_.manager("ignoring a 'Preload error' no preload asked for");
    return;
  }
  preload_ = Preload::None;
  playlist_.retry(preload_slot_);
  if (++preload_refusals_ >= MAX_REFUSALS) {
    restart_player("it refused " + std::to_string(MAX_REFUSALS) + " preloads in a row", true);
    return;
  }
  out_.manager("the player refused the preload of " + preload_slot_.path + "; asking again in " +
               seconds_text(REFUSAL_PAUSE_S));
  preload_retry_at_ = seconds_from_now(REFUSAL_PAUSE_S);
}

void Manager::on_preload_missing(const std::string& path) {
  if (preload_ != Preload::Requested || path != preload_slot_.path) return;
  playlist_.skip_with_note(path);
  preload_ = Preload::Failed;
  preload_slot_ = Slot();
  preload_failed_at_ = Clock::now();
}

// The player cannot preload the file and plays on: skip the file, not the player.
void Manager::on_preload_failed(const std::string& path_and_reason) {
  // An error it logged before this line was the preload's, and is dealt with.
  first_error_.reset();
  error_debug_due_ = false;
  // The path is the one the preload named, and may itself hold ": ".
  const std::string& path = preload_slot_.path;
  bool ours = (preload_ == Preload::Requested || preload_ == Preload::Complete) && preload_slot_.valid() &&
              path_and_reason.compare(0, path.size(), path) == 0 && path_and_reason.compare(path.size(), 2, ": ") == 0;
  if (!ours) {
    out_.manager("ignoring a preload failure of a file not being preloaded: " + path_and_reason);
    return;
  }
  playlist_.mark_bad(preload_slot_, "the player could not preload it: " + path_and_reason.substr(path.size() + 2));
  preload_ = Preload::Failed;
  preload_slot_ = Slot();
  preload_failed_at_ = Clock::now();
  preload_retry_at_.reset();
}

void Manager::finish_failed_preload() {
  preload_ = Preload::None;
  advance();
}

void Manager::on_error_line(const std::string& text) {
  if (first_error_) return;
  first_error_ = ErrorOrigin();
  first_error_text_ = text;
  error_debug_due_ = true;
}

void Manager::on_error_debug_line(const std::string& text) {
  if (!error_debug_due_) return;
  error_debug_due_ = false;
  first_error_ = error_origin(text);
}

void Manager::on_end_of_video() {
  if (end_owed_) {  // the file that ended was finished when its armed switch was done
    end_owed_ = false;
    return;
  }
  if (!on_screen_.valid() || end_pending_) return;
  // How long it was on screen tells a real end from a file cut short.
  out_.manager("finished " + playlist_.describe(on_screen_) + " (on screen " +
               seconds_text(seconds_since(on_screen_since_)) + ")");
  end_pending_ = true;
  if (finishing_ && preload_ == Preload::None) {
    finish("played " + std::to_string(config_.rounds) + " rounds");
    return;
  }
  advance();
}

void Manager::on_reset(bool after_end) {
  // A rebuild for a preload with another picture shape comes without an end
  // of video, and the preloaded file is then on screen. A rebuild when a file
  // ends (shape change or the player's periodic rebuild) reports that end
  // first, and shows the preloaded file only if it was ready.
  bool for_preload = !after_end;
  bool had_preload = preload_ != Preload::None && preload_slot_.valid();
  out_.manager("the player rebuilt its pipeline");
  arm_ = Arm::None;
  end_owed_ = false;
  if (had_preload && (for_preload || preload_ == Preload::Complete)) {
    if (for_preload && on_screen_.valid() && !end_pending_)
      out_.manager("cut short by the rebuild after " + seconds_text(seconds_since(on_screen_since_)) + ": " +
                   playlist_.describe(on_screen_));
    show(preload_slot_);
  } else {
    if (had_preload) playlist_.retry(preload_slot_);
    if (on_screen_.valid()) out_.manager("playing again from its start: " + playlist_.describe(on_screen_));
  }
  expect_rebuild_complete_ = for_preload && had_preload;
  rebuild_at_ = Clock::now();
  preload_ = Preload::None;
  preload_slot_ = Slot();
  end_pending_ = false;
  preload_retry_at_.reset();
  switch_retry_at_.reset();
  // The player ignores the first switch after a rebuild. One sent before this
  // event took that part already, or is still unread and will; otherwise send
  // one now, so that the switch for the next file is not the one ignored.
  if (rebuild_underway_) {
    rebuild_underway_ = false;
    advance();
  } else if (!switch_outstanding_) {
    send_switch();
    switch_for_rebuild_ = true;
  } else {
    switch_for_rebuild_ = true;
  }
}

void Manager::show(const Slot& slot) {
  on_screen_ = slot;
  on_screen_since_ = last_flowing_at_ = Clock::now();
  out_.manager("now playing " + playlist_.describe(on_screen_));
}

// The player switches by itself as the file ends; its "end of video!" for
// that file may come before or after the switch's outcome.
void Manager::on_armed_switch_fired() {
  if (arm_ != Arm::Armed && arm_ != Arm::Requested) return;
  arm_ = Arm::Fired;
  switch_outstanding_ = true;
  switch_sent_at_ = Clock::now();
}

void Manager::on_switch_done() {
  if (!switch_outstanding_) return;
  if (arm_ == Arm::Fired) {
    arm_ = Arm::None;
    if (on_screen_.valid() && !end_pending_) {
      out_.manager("finished " + playlist_.describe(on_screen_) + " (on screen " +
                   seconds_text(seconds_since(on_screen_since_)) + ")");
      end_owed_ = true;
    }
  }
  switch_outstanding_ = false;
  switch_for_rebuild_ = false;
  if (preload_ == Preload::Complete) {
    show(preload_slot_);
    preload_ = Preload::None;
    preload_slot_ = Slot();
    end_pending_ = false;
  }
  advance();
}

void Manager::on_switch_ignored() {
  if (!switch_outstanding_) return;
  switch_outstanding_ = false;
  // Ignored before its "reset" arrived: a rebuild is underway, and the state
  // it leaves is known only from that event.
  if (!switch_for_rebuild_) {
    rebuild_underway_ = true;
    rebuild_at_ = Clock::now();
  }
  switch_for_rebuild_ = false;
  advance();
}

void Manager::on_switch_refused(const std::string& why) {
  if (!switch_outstanding_) return;
  switch_outstanding_ = false;
  switch_for_rebuild_ = false;
  if (preload_ != Preload::Complete) {  // the switch after a rebuild, with nothing to switch to
    advance();
    return;
  }
  if (why.find("in progress") != std::string::npos) {
    switch_retry_at_ = seconds_from_now(REFUSAL_PAUSE_S);
    return;
  }
  out_.manager("the player has no preload ready for " + preload_slot_.path + "; loading it again");
  playlist_.retry(preload_slot_);
  preload_ = Preload::None;
  preload_slot_ = Slot();
  advance();
}

// Does what the state allows next: a switch when the preloaded file is
// ready and due, else a preload of the next file.
void Manager::advance() {
  if (phase_ != Phase::Running || switch_outstanding_ || expect_rebuild_complete_ || rebuild_underway_) return;
  if (preload_ == Preload::Complete) {
    if ((end_pending_ || !on_screen_.valid()) && !switch_retry_at_) {
      send_switch();
    } else if (config_.switch_at_end && arm_ == Arm::None && on_screen_.valid() && !end_pending_ &&
               !switch_retry_at_) {
      send("switch_at_end");
      arm_ = Arm::Requested;
    }
    return;
  }
  if (preload_ == Preload::None && !preload_retry_at_ && !files_retry_at_ && !finishing_) request_preload();
}

void Manager::send_switch() {
  send("switch");
  switch_outstanding_ = true;
  switch_sent_at_ = Clock::now();
}

void Manager::request_preload() {
  Slot slot;
  switch (playlist_.pick_next(slot)) {
    case PlaylistCursor::Pick::Finished:
      finishing_ = true;
      if (!on_screen_.valid() || end_pending_) finish("played " + std::to_string(config_.rounds) + " rounds");
      return;
    case PlaylistCursor::Pick::Nothing:
      if (playlist_.note_nothing_playable())
        out_.manager("no playable file in the playlist; looking again every " +
                     seconds_text(config_.empty_playlist_retry_s));
      files_retry_at_ = seconds_from_now(config_.empty_playlist_retry_s);
      return;
    case PlaylistCursor::Pick::Found:
      break;
  }
  playlist_.something_playable();
  if (started_idle_) {
    // A player started on the idle picture would rebuild for this file, and
    // the preload after such a rebuild loses its sound chain: start afresh.
    playlist_.retry(slot);
    stop_player("there is a file to play now", true);
    process_.start_now();
    return;
  }
  preload_slot_ = slot;
  preload_ = Preload::Requested;
  preload_sent_at_ = Clock::now();
  send("preload " + slot.path);
}

void Manager::check_timers() {
  if (!process_.running()) return;
  auto now = Clock::now();
  if ((phase_ == Phase::WaitReady || phase_ == Phase::WaitPlaying) &&
      process_.ran_for() > config_.startup_timeout_s) {
    restart_player("it did not start playing within " + seconds_text(config_.startup_timeout_s), false);
    return;
  }
  if (seconds_since(last_line_at_) > config_.silence_timeout_s) {
    restart_player("it wrote nothing for " + seconds_text(config_.silence_timeout_s), false);
    return;
  }
  if (phase_ != Phase::Running) return;
  // The player reports a stall only while its pipeline is PLAYING; one that
  // never gets back there would leave the screen still for good.
  if (seconds_since(last_flowing_at_) > config_.stall_timeout_s) {
    restart_player("its pipeline has not been playing for " + seconds_text(config_.stall_timeout_s), true);
    return;
  }
  if (preload_ == Preload::Requested && seconds_since(preload_sent_at_) > config_.preload_timeout_s) {
    // A preload that hangs names no culprit (a stuck helper program can do it):
    // the file is started afresh with the next player, which tells.
    restart_player("its preload did not complete within " + seconds_text(config_.preload_timeout_s), true);
    return;
  }
  if (switch_outstanding_ && seconds_since(switch_sent_at_) > config_.switch_timeout_s) {
    restart_player("a switch got no answer within " + seconds_text(config_.switch_timeout_s), true);
    return;
  }
  if (preload_ == Preload::Failed && seconds_since(preload_failed_at_) > FAILURE_EVENT_WAIT_S) finish_failed_preload();
  if ((expect_rebuild_complete_ || rebuild_underway_) && seconds_since(rebuild_at_) > REBUILD_EVENT_WAIT_S) {
    expect_rebuild_complete_ = false;
    rebuild_underway_ = false;
    advance();
  }
  if (switch_retry_at_ && now >= *switch_retry_at_) {
    switch_retry_at_.reset();
    if (preload_ == Preload::Complete && !switch_outstanding_) send_switch();
  }
  if (preload_retry_at_ && now >= *preload_retry_at_) {
    preload_retry_at_.reset();
    advance();
  }
  if (files_retry_at_ && now >= *files_retry_at_) {
    files_retry_at_.reset();
    advance();
  }
}

void Manager::finish(const std::string& why) {
  out_.manager(why);
  finished_ = true;
}


void Manager::send(const std::string& command) { process_.send(command); }
