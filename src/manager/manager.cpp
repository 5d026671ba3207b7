#include "manager/manager.h"

#include <unistd.h>

#include <climits>
#include <cstring>

#include "client/player_client.h"
#include "protocol/protocol.h"
#include "manager/timing.h"
#include <chrono>

namespace {

using Clock = Manager::Clock;
using Pick = PlaylistCursor::Pick;

using namespace protocol;

constexpr double REFUSAL_PAUSE_S = 0.5;
constexpr int MAX_REFUSALS = 20;
constexpr double REBUILD_EVENT_WAIT_S = 15;
// How long the "Preload error" that follows a failed preload's line may take.
constexpr double FAILURE_EVENT_WAIT_S = 5;
constexpr double DROP_ANSWER_WAIT_S = 5;
constexpr auto POLL_PERIOD = std::chrono::milliseconds(200);

// Whole paths in the logs and for the player, whatever its working directory.
ManagerConfig with_whole_paths(ManagerConfig config) {
  if (!config.playlist.empty() && config.playlist[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd)) config.playlist = std::string(cwd) + "/" + config.playlist;
  }
  return config;
}

// Where pictures' clips are kept: in the service's cache directory (systemd
// names it; clips can always be made again), else under the state
// directory, else in the user's cache, else in /tmp; and the rotation they
// are turned back against.
PictureOptions picture_options(const ManagerConfig& config) {
  PictureOptions o = config.pictures;
  for (size_t i = 0; i + 1 < config.screen_args.size(); ++i)
    if (config.screen_args[i] == "--rotate") o.rotate = config.screen_args[i + 1];
  if (!o.dir.empty()) return o;
  const char* service_cache = getenv("CACHE_DIRECTORY");
  const char* xdg = getenv("XDG_CACHE_HOME");
  const char* home = getenv("HOME");
  if (service_cache && service_cache[0] == '/' && !strchr(service_cache, ':'))
    o.dir = std::string(service_cache) + "/pictures";
  else if (!config.state_dir.empty())
    o.dir = config.state_dir + "/pictures";
  else if (xdg && xdg[0] == '/')
    o.dir = std::string(xdg) + "/signage-manager/pictures";
  else if (home && home[0] == '/' && strcmp(home, "/") != 0)
    o.dir = std::string(home) + "/.cache/signage-manager/pictures";
  else
    o.dir = "/tmp/signage-manager-pictures-" + std::to_string(getuid());
  return o;
}

}  // namespace

Manager::Manager(ManagerConfig config)
    : config_(with_whole_paths(std::move(config))),
      out_(config_.output),
      process_({config_.player_binary, config_.player_env, config_.no_sound, config_.backoff_initial_s,
                config_.backoff_max_s, config_.stable_after_s, config_.screen_args, {}},
               out_,
               [this](uint64_t generation, bool from_stderr, const std::string& text) {
                 lines_.push(generation, from_stderr, text);
               }),
      playlist_(config_.playlist, config_.rounds, config_.bad_file_retry_s, out_),
      watch_(config_.playlist, config_.settle_s, [this] { lines_.wake(); }),
      play_log_({config_.play_log, config_.play_log_max_bytes, config_.play_log_keep},
                [this](const std::string& text) { out_.manager(text); }),
      wall_(config_.wall, out_),
      clips_(picture_options(config_), out_),
      sound_(config_.state_dir) {}

Manager::~Manager() {
  // The API's threads wake the loop through lines_, and the player's reader
  // threads push into it: end them first.
  watch_.stop();
  api_.reset();
  process_.release();
}

int Manager::run(const std::atomic<bool>& stop) {
  playlist_.reload();
  if (!playlist_.loaded()) return 1;
  out_.manager("playlist " + config_.playlist + ": " + std::to_string(playlist_.size()) + " files");
  playlist_.settle_after(config_.settle_s);
  if (std::string note = watch_.start(); !note.empty()) out_.manager(note);
  if (!sound_.note().empty()) out_.manager(sound_.note());
  // Outside the hours at the start: the first player is told before it plays.
  screen_.hours_on = screen_hours_say_on();
  follow_screen_hours();
  wall_.start();
  start_api();
  process_.start_now();
  notifier_.ready();
  while (!stop && !finished_) {
    notifier_.alive();
    if (process_.take_due_start()) start_player();
    lines_.take(next_wake(POLL_PERIOD));
    if (watch_.take_changed()) on_content_changed();
    deliver_pending();
    check_player_exit();
    follow_clips();
    serve_api();
    follow_screen_hours();
    check_timers();
    follow_wall_plan();
    wall_.say_notes();
    play_log_.retry();
    publish_api();
  }
  if (stop) out_.manager("stopping on request");
  notifier_.stopping();
  // A sign stopped is not left dark.
  if (!screen_.on && process_.running()) send(std::string(CMD_SCREEN) + "on");
  stop_player("the manager is stopping", true);
  if (api_) api_->stop();
  return 0;
}

// The list is read again at the next pick; a playlist that had nothing to
// play is looked at now rather than at its next try.
void Manager::on_content_changed() {
  playlist_.list_changed();
  if (!files_retry_at_) return;
  files_retry_at_.reset();
  advance();
}

// ---------------------------------------------------------------- the cycle

void Manager::on_ready() {
  if (!run_.phase.ready()) return;
  if (sound_.set()) send(sound_.command());
  // A new player finds the screen as the last one left it.
  if (screen_.told) send(std::string(CMD_SCREEN) + (screen_.on ? "on" : "off"));
  send(CMD_PLAY);
}

void Manager::on_playing() {
  if (run_.phase.running()) {
    // A rebuild plays its new pipeline: while the screen sleeps it is paused again.
    if (!screen_.on && !paused_) send(CMD_PAUSE);
    return;
  }
  if (!run_.phase.playing()) return;
  startup_failure_path_.clear();
  if (!screen_.on && !paused_) send(CMD_PAUSE);  // it played only to start: nothing is decoded while asleep
  advance();
}

void Manager::on_preload_complete() {
  if (run_.rebuild.awaiting_complete()) {
    // The rebuild announcing that the preloaded file is on screen already.
    run_.rebuild.over();
    advance();
    return;
  }
  if (!run_.preload.is(Preload::Requested)) {
    out_.manager("ignoring a 'Preload complete' no preload asked for");
    return;
  }
  run_.preload.completed();
  run_.preload_refusals = 0;
  run_.arm.preload_complete();
  advance();
}

void Manager::on_preload_error() {
  if (run_.preload.is(Preload::Failed)) {  // the event that follows a failure already dealt with
    finish_failed_preload();
    return;
  }
  if (!run_.preload.is(Preload::Requested)) {
    out_.manager("ignoring a 'Preload error' no preload asked for");
    return;
  }
  run_.preload.refused();
  playlist_.retry(run_.preload.slot());
  if (++run_.preload_refusals >= MAX_REFUSALS) {
    restart_player("it refused " + std::to_string(MAX_REFUSALS) + " preloads in a row", true);
    return;
  }
  out_.manager("the player refused the preload of " + run_.preload.slot().path + "; asking again in " +
               seconds_text(REFUSAL_PAUSE_S));
  run_.preload_retry_at = seconds_from_now(REFUSAL_PAUSE_S);
}

void Manager::on_preload_missing(const std::string& path) {
  if (!run_.preload.is(Preload::Requested) || path != run_.preload.slot().player_path()) return;
  ++figures_.preload_failures;
  playlist_.skip_with_note(run_.preload.slot().path);
  run_.preload.failed();
}

// The player cannot preload the file and plays on: skip the file, not the player.
void Manager::on_preload_failed(const std::string& path_and_reason) {
  // An error it logged before this line was the preload's, and is dealt with.
  run_.first_error.reset();
  run_.error_debug_due = false;
  // The path is the one the preload named (a picture's clip), and may itself hold ": ".
  const std::string& path = run_.preload.slot().player_path();
  bool ours = run_.preload.requested_or_complete() && run_.preload.slot().valid() &&
              path_and_reason.compare(0, path.size(), path) == 0 && path_and_reason.compare(path.size(), 2, ": ") == 0;
  if (!ours) {
    out_.manager("ignoring a preload failure of a file not being preloaded: " + path_and_reason);
    return;
  }
  ++figures_.preload_failures;
  playlist_.mark_bad(run_.preload.slot(),
                     "the player could not preload it: " + path_and_reason.substr(path.size() + 2));
  run_.preload.failed();
  run_.preload_retry_at.reset();
}

void Manager::finish_failed_preload() {
  run_.preload.done();
  advance();
}

void Manager::on_error_line(const std::string& text) {
  if (run_.first_error) return;
  run_.first_error = ErrorOrigin();
  run_.first_error_text = text;
  run_.error_debug_due = true;
}

void Manager::on_error_debug_line(const std::string& text) {
  if (!run_.error_debug_due) return;
  run_.error_debug_due = false;
  run_.first_error = error_origin(text);
}

void Manager::on_end_of_video() {
  if (run_.end.settle_owed()) return;  // the file that ended was finished when its armed switch was done
  if (!run_.on_screen.valid() || run_.end.pending()) return;
  // How long it was on screen tells a real end from a file cut short.
  out_.manager("finished " + playlist_.describe(run_.on_screen) + " (on screen " +
               seconds_text(seconds_since(run_.on_screen_since)) + ")");
  // After a rebuild at the file's end this comes as the new pipeline plays:
  // what it shows next starts here.
  Moment now = Moment::now(clock_sync_);
  if (run_.ended_at)
    run_.switch_seek_at = now;
  else
    run_.ended_at = now;
  run_.end.ended();
  if (run_.finishing && run_.preload.is(Preload::None)) {
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
  bool had_preload = !run_.preload.is(Preload::None) && run_.preload.slot().valid();
  out_.manager("the player rebuilt its pipeline");
  run_.arm.cleared();
  if (had_preload && (for_preload || run_.preload.is(Preload::Complete))) {
    if (for_preload && run_.on_screen.valid() && !run_.end.pending())
      out_.manager("cut short by the rebuild after " + seconds_text(seconds_since(run_.on_screen_since)) + ": " +
                   playlist_.describe(run_.on_screen));
    show(run_.preload.slot());
  } else {
    if (had_preload) playlist_.retry(run_.preload.slot());
    if (run_.on_screen.valid()) {
      out_.manager("playing again from its start: " + playlist_.describe(run_.on_screen));
      end_showing("rebuild");
      begin_showing();
    }
  }
  bool switch_ignored_already = run_.rebuild.reset(for_preload && had_preload);
  run_.preload.done();
  run_.end.cleared();
  run_.preload_retry_at.reset();
  run_.switch_retry_at.reset();
  // The player ignores the first switch after a rebuild. One sent before this
  // event took that part already, or is still unread and will; otherwise send
  // one now, so that the switch for the next file is not the one ignored.
  if (switch_ignored_already) {
    advance();
  } else {
    if (!run_.switching.outstanding()) send_switch();
    run_.switching.taken_by_rebuild();
  }
}

void Manager::show(const Slot& slot) {
  end_showing(cut_requested_ ? "command" : "rebuild");
  // A request to go to another item holds until that item shows.
  if (!goto_index_ || *goto_index_ == slot.index) {
    cut_requested_ = false;
    goto_index_.reset();
  }
  run_.on_screen = slot;
  run_.on_screen_since = run_.last_flowing_at = Clock::now();
  begin_showing();
  out_.manager("now playing " + playlist_.describe(run_.on_screen));
  wall_.shown(run_.on_screen.path);
  if (screen_.waking_since) finish_wake();
}

// The player switches by itself as the file ends; its "end of video!" for
// that file may come before or after the switch's outcome.
void Manager::on_armed_switch_fired() {
  if (run_.arm.fired()) run_.switching.sent();
}

void Manager::on_switch_done() {
  if (!run_.switching.outstanding()) return;
  if (run_.arm.fired_switch_done() && run_.on_screen.valid() && !run_.end.pending()) {
    out_.manager("finished " + playlist_.describe(run_.on_screen) + " (on screen " +
                 seconds_text(seconds_since(run_.on_screen_since)) + ")");
    run_.ended_at = Moment::now(clock_sync_);
    run_.end.finished_by_switch();
  }
  run_.switching.answered();
  if (run_.preload.is(Preload::Complete)) {
    ++figures_.switches;
    figures_.last_switch_unix_s =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    show(run_.preload.slot());
    run_.preload.done();
    run_.end.switched();
  }
  run_.switch_seek_at.reset();
  advance();
}

void Manager::on_switch_ignored() {
  if (!run_.switching.outstanding()) return;
  bool for_rebuild = run_.switching.for_rebuild();
  run_.switching.answered();
  // Ignored before its "reset" arrived: a rebuild is underway, and the state
  // it leaves is known only from that event.
  if (!for_rebuild) run_.rebuild.switch_ignored();
  advance();
}

void Manager::on_switch_refused(const std::string& why) {
  if (!run_.switching.outstanding()) return;
  run_.switching.answered();
  if (!run_.preload.is(Preload::Complete)) {  // the switch after a rebuild, with nothing to switch to
    advance();
    return;
  }
  if (why.find("in progress") != std::string::npos) {
    run_.switch_retry_at = seconds_from_now(REFUSAL_PAUSE_S);
    return;
  }
  out_.manager("the player has no preload ready for " + run_.preload.slot().path + "; loading it again");
  playlist_.retry(run_.preload.slot());
  run_.preload.done();
  advance();
}

// The player dropped the preload, or had none left because the switch armed
// for it came first and took it to the screen.
void Manager::on_preload_dropped() {
  if (!run_.drop_sent_at) return;
  run_.drop_sent_at.reset();
  if (run_.preload.requested_or_complete()) {
    run_.arm.cleared();
    run_.preload.done();
  }
  advance();
}

void Manager::drop_preload(const std::string& why) {
  out_.manager("dropping the preload of " + playlist_.describe(run_.preload.slot()) + ": " + why);
  send(CMD_DROP_PRELOAD);
  run_.drop_sent_at = Clock::now();
}

// Day-parting holds at the moment of showing: the hour is looked at again
// until the switch to the file is under way.
bool Manager::drop_if_out_of_window() {
  const Slot& slot = run_.preload.slot();
  if (!run_.phase.running() || run_.drop_sent_at || !slot.valid() || !run_.preload.requested_or_complete() ||
      run_.switching.outstanding() || playlist_.due_now(slot))
    return false;
  drop_preload("its window has closed (" + playlist_.schedule(slot.index).text + ")");
  return true;
}

// Does what the state allows next: a switch when the preloaded file is
// ready and due, else a preload of the next file.
void Manager::advance() {
  if (!run_.phase.running() || run_.switching.outstanding() || run_.rebuild.awaited() || run_.drop_sent_at) return;
  if (drop_if_out_of_window()) return;
  if (run_.preload.is(Preload::Complete)) {
    if (goto_index_ && run_.preload.slot().index != *goto_index_) {
      drop_preload("another item was asked for");
      return;
    }
    if (place_wall_switch()) return;
    if ((run_.end.pending() || !run_.on_screen.valid() || cut_requested_) && !run_.switch_retry_at) {
      // A switch now disarms one armed for the end in the player.
      if (cut_requested_) run_.arm.cleared();
      send_switch();
    } else if (config_.switch_at_end && run_.arm.none() && run_.on_screen.valid() && !run_.end.pending() &&
               !run_.switch_retry_at) {
      send(CMD_SWITCH_AT_END);
      run_.arm.asked();
    }
    return;
  }
  if (run_.preload.is(Preload::None) && !run_.preload_retry_at && !files_retry_at_ && !run_.finishing)
    request_preload();
  else if (run_.preload.is(Preload::None))
    show_idle_if_due();
}

// Nothing is due and the file on screen has ended: the idle picture, rather
// than its last frame, until something is due (the idle player is then
// started again with it).
void Manager::show_idle_if_due() {
  if (!nothing_due_ || run_.started_idle || !(run_.end.pending() || !run_.on_screen.valid())) return;
  stop_player("nothing is due now", true);
  process_.start_now();
}

void Manager::send_switch() {
  send(CMD_SWITCH);
  run_.switching.sent();
}

void Manager::request_preload() {
  if (goto_index_) playlist_.jump_to(*goto_index_);
  Slot slot;
  Pick pick = playlist_.pick_next(slot);
  // The item gone to cannot play any more (it went, or its window closed
  // since the request): the request is given up and the file picked in its
  // place shows at once, as after /next, so that no request is chased round
  // the playlist.
  if (goto_index_ && (pick != Pick::Found || slot.index != *goto_index_)) {
    out_.manager("item " + std::to_string(*goto_index_ + 1) + " cannot play now; going on without it");
    goto_index_.reset();
  }
  switch (pick) {
    case Pick::Finished:
      run_.finishing = true;
      if (!run_.on_screen.valid() || run_.end.pending()) finish("played " + std::to_string(config_.rounds) + " rounds");
      return;
    case Pick::NothingDue:
      if (!nothing_due_)
        out_.manager("nothing in the playlist is due now; the idle picture shows; looking again every " +
                     seconds_text(config_.empty_playlist_retry_s));
      nothing_due_ = true;
      files_retry_at_ = seconds_from_now(config_.empty_playlist_retry_s);
      show_idle_if_due();
      return;
    case Pick::Nothing:
      if (playlist_.note_nothing_playable())
        out_.manager("no playable file in the playlist; looking again every " +
                     seconds_text(config_.empty_playlist_retry_s));
      files_retry_at_ = seconds_from_now(config_.empty_playlist_retry_s);
      return;
    case Pick::Found:
      break;
  }
  nothing_due_ = false;
  playlist_.something_playable();
  if (run_.started_idle) {
    // A player started on the idle picture would rebuild for this file, and
    // the preload after such a rebuild loses its sound chain: start afresh.
    playlist_.retry(slot);
    stop_player("there is a file to play now", true);
    process_.start_now();
    return;
  }
  switch (prepare_media(slot)) {
    case Media::Ready:
      break;
    case Media::Waiting:
      return;
    case Media::Failed:
      request_preload();  // the file after it
      return;
  }
  run_.preload.asked(slot);
  wall_.preload_asked(slot.path, cut_requested_);
  send(CMD_PRELOAD + slot.player_path());
  make_ahead(slot.index);
}

void Manager::check_timers() {
  if (!process_.running()) return;
  auto now = Clock::now();
  if (run_.phase.starting() && process_.ran_for() > config_.startup_timeout_s) {
    restart_player("it did not start playing within " + seconds_text(config_.startup_timeout_s), false);
    return;
  }
  if (seconds_since(run_.last_line_at) > config_.silence_timeout_s) {
    restart_player("it wrote nothing for " + seconds_text(config_.silence_timeout_s), false);
    return;
  }
  if (!run_.phase.running()) return;
  // The player reports a stall only while its pipeline is PLAYING; one that
  // never gets back there would leave the screen still for good.
  // Paused on request, the pipeline is meant to stand still.
  if (!paused_ && screen_.on && !screen_.waking_since &&
      seconds_since(run_.last_flowing_at) > config_.stall_timeout_s) {
    restart_player("its pipeline has not been playing for " + seconds_text(config_.stall_timeout_s), true);
    return;
  }
  if (run_.preload.is(Preload::Requested) && run_.preload.waited() > config_.preload_timeout_s) {
    // A preload that hangs names no culprit (a stuck helper program can do it):
    // the file is started afresh with the next player, which tells.
    restart_player("its preload did not complete within " + seconds_text(config_.preload_timeout_s), true);
    return;
  }
  if (run_.switching.outstanding() && run_.switching.waited() > config_.switch_timeout_s) {
    restart_player("a switch got no answer within " + seconds_text(config_.switch_timeout_s), true);
    return;
  }
  if (run_.drop_sent_at && seconds_since(*run_.drop_sent_at) > DROP_ANSWER_WAIT_S) {
    restart_player("it did not answer drop_preload within " + seconds_text(DROP_ANSWER_WAIT_S), true);
    return;
  }
  drop_if_out_of_window();
  if (run_.preload.is(Preload::Failed) && run_.preload.failed_for() > FAILURE_EVENT_WAIT_S) finish_failed_preload();
  if (run_.rebuild.awaited() && run_.rebuild.waited() > REBUILD_EVENT_WAIT_S) {
    run_.rebuild.over();
    advance();
  }
  if (run_.switch_retry_at && now >= *run_.switch_retry_at) {
    run_.switch_retry_at.reset();
    if (run_.preload.is(Preload::Complete) && !run_.switching.outstanding()) send_switch();
  }
  if (run_.preload_retry_at && now >= *run_.preload_retry_at) {
    run_.preload_retry_at.reset();
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
