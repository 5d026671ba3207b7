// The player's lines as the manager takes them: each passed on to the log,
// and those the cycle follows acted on. Besides its events, the cycle
// follows lines of the player's log: the outcome of a switch, a preload of a
// file that vanished or failed, a pipeline error and the element it names,
// an event written again because its answer came late, and the pipeline
// state the heartbeat reports.
#include <cstdlib>
#include <cstring>
#include <string>

#include "manager/manager.h"
#include "protocol/protocol.h"

using namespace protocol;

namespace {

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

}  // namespace

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
  run_.last_line_at = Clock::now();
  if (const char* ack = ack_for_event(line)) {
    // The client has answered it already; a line written again only because
    // the answer came late is not a new event.
    if (run_.repeat_expected.erase(ack)) return;
    std::string previous = run_.last_event;
    run_.last_event = line;
    handle_event(line, previous);
    return;
  }
  if (line == READY) {
    on_ready();
  } else if (starts_with(line, DECODER_CHOSEN)) {
    // "ELEMENT (hardware, ...)" or "ELEMENT (software, ...)"
    std::string rest = line.substr(strlen(DECODER_CHOSEN));
    size_t bracket = rest.find(" (");
    decoder_ = DecoderSeen{rest.substr(0, bracket),
                           bracket != std::string::npos && rest.compare(bracket + 2, 8, "hardware") == 0};
    api_stale_ = true;
  } else if (starts_with(line, PIPELINE_STATE)) {
    if (starts_with(line.substr(strlen(PIPELINE_STATE)), "PLAYING")) run_.last_flowing_at = Clock::now();
  } else if (starts_with(line, ACK_RETRY)) {
    std::string rest = line.substr(strlen(ACK_RETRY));
    run_.repeat_expected.insert(rest.substr(0, rest.find('\'')));
  } else if (starts_with(line, SNAPSHOT_WRITTEN) || starts_with(line, SNAPSHOT_FAILED)) {
    snapshots_.on_line(line, starts_with(line, SNAPSHOT_WRITTEN));
  } else if (line == SWITCH_SEEK) {
    run_.switch_seek_at = Moment::now(clock_sync_);  // the new file starts from here
  } else if (line == REBUILD_AT_EOS) {
    // The file's last picture; its "end of video!" comes once the rebuild is done.
    run_.ended_at = Moment::now(clock_sync_);
  } else if (line == SWITCH_DONE) {
    on_switch_done();
  } else if (starts_with(line, ARMED) || starts_with(line, SWITCH_AT_ARMED)) {
    run_.arm.taken();
    run_.placement_sent = false;
  } else if (line == DISARMED) {
    run_.arm.disarmed();
  } else if (line == ARMED_SWITCH_TAKEN || starts_with(line, SWITCH_AT_TAKEN)) {
    on_armed_switch_fired();
  } else if (starts_with(line, SWITCH_AT_REJECTED)) {
    on_placement_refused(line.substr(strlen(SWITCH_AT_REJECTED)));
  } else if (starts_with(line, PRELOAD_LENGTH)) {
    if (run_.preload.requested_or_complete())
      wall_.preload_length(std::strtoull(line.c_str() + strlen(PRELOAD_LENGTH), nullptr, 10));
  } else if (line == SWITCH_IGNORED) {
    if (!run_.switching.outstanding() && run_.placement_sent) {
      // The arming took the ignored switch's part: it is placed again.
      run_.placement_sent = false;
      run_.arm.cleared();
      advance();
    } else if (!run_.switching.outstanding()) {
      run_.arm.refused();  // the arming took the ignored switch's part
    }
    on_switch_ignored();
  } else if (starts_with(line, SWITCH_REJECTED) || starts_with(line, SWITCH_ERROR)) {
    // A refused arming leaves the switch to be sent at the end.
    if (!run_.switching.outstanding() && run_.placement_sent)
      on_placement_refused(line);
    else if (!run_.switching.outstanding())
      run_.arm.refused();
    on_switch_refused(line);
  } else if (starts_with(line, PRELOAD_DROPPED) || line == PRELOAD_NONE_TO_DROP) {
    on_preload_dropped();
  } else if (starts_with(line, PRELOAD_MISSING)) {
    on_preload_missing(line.substr(strlen(PRELOAD_MISSING)));
  } else if (starts_with(line, PRELOAD_FAILED)) {
    on_preload_failed(line.substr(strlen(PRELOAD_FAILED)));
  } else if (starts_with(line, BUS_ERROR)) {
    on_error_line(line.substr(strlen(BUS_ERROR)));
  } else if (starts_with(line, BUS_ERROR_DEBUG)) {
    on_error_debug_line(line.substr(strlen(BUS_ERROR_DEBUG)));
  } else if (starts_with(line, SCREEN_ERROR)) {
    run_.display_failed = true;
  }
}

void Manager::handle_event(const std::string& event, const std::string& previous) {
  if (event == PLAYING) {
    on_playing();
  } else if (event == PRELOAD_COMPLETE) {
    on_preload_complete();
  } else if (event == PRELOAD_ERROR) {
    on_preload_error();
  } else if (event == END_OF_VIDEO) {
    on_end_of_video();
  } else if (event == RESET) {
    on_reset(previous == END_OF_VIDEO);
  } else if (event == STOPPED) {
    // Nothing here asks for a stop; a screen left on a still picture helps no one.
    out_.manager("the player reports it stopped; resuming playback");
    send(CMD_PLAY);
  } else if (event == CRASH) {
    restart_player("it reports that playback stalled", true);
  }
}
