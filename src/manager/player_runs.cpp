// The player's runs as the manager sees them: each start on the file due
// next, each end, whether a file is to blame for it, and where the playlist
// goes on after it.
#include "manager/manager.h"

#include <string>

void Manager::start_player() {
  // The player starts on the file due next and is then told to preload that
  // same file and switch to it at once: its own start-up file never reports
  // its end, a switched-to file does. Starting on the idle picture instead
  // would make the first preload a complete rebuild.
  Slot first;
  start_waits_for_clip_ = false;
  for (bool picked = false; !picked;) {
    first = Slot();
    switch (playlist_.pick_next(first)) {
      case PlaylistCursor::Pick::Finished:
        finish("played " + std::to_string(config_.rounds) + " rounds");
        return;
      case PlaylistCursor::Pick::Nothing:
      case PlaylistCursor::Pick::NothingDue:
        picked = true;
        break;
      case PlaylistCursor::Pick::Found:
        playlist_.retry(first);
        // A picture's clip is made first; one that cannot be made is passed over.
        Media media = prepare_media(first);
        if (media == Media::Waiting) {
          start_waits_for_clip_ = true;
          return;
        }
        picked = media == Media::Ready;
        break;
    }
  }
  process_.set_wall_args(wall_.player_args());
  if (std::optional<size_t> joined = wall_.player_started(playlist_.files())) goto_index_ = static_cast<int>(*joined);
  if (!process_.start(first.player_path())) {
    if (first.valid()) playlist_.retry(first);
    process_.start_later(0);
    return;
  }
  run_ = PlayerRun();
  run_.startup = first;
  run_.started_idle = !first.valid();
  run_.phase.started();
  run_.last_line_at = run_.last_flowing_at = Clock::now();
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
  end_showing("player-ended");
  forget_requests();
  run_ = PlayerRun();
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
  if (*status == 1 && run_.first_error && blame == Blame::Nobody)
    out_.manager(
        "no file is blamed for its error (" + run_.first_error_text + "), which came from " +
        (run_.first_error->element.empty() ? std::string("an element it does not name") : run_.first_error->element));
  plan_resume(blame);
  process_.disown_lines();
  process_.release();
  end_showing("player-ended");
  count_restart(exit_text(*status));
  forget_requests();
  bool display_failed = run_.display_failed;
  run_ = PlayerRun();
  process_.start_later(ran, display_failed);
}

// Only the player's own fatal error (status 1), and only one posted by a part
// that reads or decodes a file, counts against a file: a display or sound
// server not there yet, an unanswered event, a stalled loop or a signal says
// nothing about the file. The first error is the cause; those after it in the
// same breath are mostly its consequences.
Manager::Blame Manager::blame_for_exit(int status) const {
  if (status != 1 || !run_.first_error || !run_.first_error->file_part) return Blame::Nobody;
  if (!run_.phase.running()) return run_.startup.valid() ? Blame::StartupFile : Blame::Nobody;
  // A preload branch's error while it loads is taken as the preload's, though
  // the branch on screen came from a preload too.
  if (run_.preload.is(Preload::Requested) && run_.preload.slot().valid() && run_.first_error->preload_branch)
    return Blame::Preload;
  // During a switch it may be either file's: the next start, with the file
  // switched to, tells.
  if (run_.switching.outstanding()) return Blame::Nobody;
  return run_.on_screen.valid() ? Blame::OnScreen : Blame::Nobody;
}

void Manager::restart_player(const std::string& why, bool graceful) {
  count_restart(why);
  double ran = process_.ran_for();
  plan_resume(Blame::Nobody);
  stop_player(why, graceful);
  process_.start_later(ran);
}

void Manager::plan_resume(Blame blame) {
  if (!run_.phase.running()) {
    if (!run_.startup.valid()) return;
    if (blame != Blame::StartupFile) {
      playlist_.retry(run_.startup);
      return;
    }
    // Ended before it played, of an error that names the file's source,
    // demuxer or decoder: the file, or a passing fault (a file still being
    // copied); a second such end in a row with the same file settles it.
    if (startup_failure_path_ == run_.startup.path) {
      startup_failure_path_.clear();
      playlist_.mark_bad(run_.startup, "the player failed twice when started with it");
      playlist_.resume_after(run_.startup);
    } else {
      startup_failure_path_ = run_.startup.path;
      playlist_.retry(run_.startup);
    }
    return;
  }
  if (blame == Blame::Preload && run_.preload.slot().valid()) {
    playlist_.mark_bad(run_.preload.slot(), "the player failed while loading it");
    playlist_.resume_after(run_.preload.slot());
  } else if (blame == Blame::OnScreen && run_.on_screen.valid()) {
    playlist_.mark_bad(run_.on_screen, "the player failed while playing it");
    playlist_.resume_after(run_.on_screen);
  } else if (run_.on_screen.valid()) {
    playlist_.resume_after(run_.on_screen);
  } else if (run_.preload.requested_or_complete() && run_.preload.slot().valid()) {
    playlist_.retry(run_.preload.slot());
  }
}
