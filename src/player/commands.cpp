#include "player/commands.h"

#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/gst_holders.h"
#include "core/log.h"
#include "core/sound_output.h"
#include "messaging/ack_delivery.h"
#include "platform/screen.h"
#include "player/prepared_rebuild.h"
#include "player/snapshot.h"
#include "protocol/protocol.h"
#include "restart/rebuild_policy.h"
#include "switching/preload.h"
#include "switching/switch_at_end.h"
#include "switching/switch_command.h"
#include "switching/video_command.h"

namespace {

bool starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

LineReader& stdin_reader() {
  static LineReader reader(STDIN_FILENO);
  return reader;
}

}  // namespace

bool LineReader::has_buffered_line() const { return buffer_.find('\n') != std::string::npos; }

bool LineReader::readable_now() const {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd_, &set);
  timeval zero{0, 0};
  return select(fd_ + 1, &set, nullptr, nullptr, &zero) > 0;
}

void LineReader::take_dropped(InputLine& line) {
  line.kind = InputLine::Kind::TooLong;
  line.text.swap(dropped_head_);
  line.length = dropped_length_;
  dropping_ = false;
  dropped_head_.clear();
  dropped_length_ = 0;
}

bool LineReader::take_buffered(InputLine& line) {
  size_t nl = buffer_.find('\n');
  if (dropping_) {
    dropped_length_ += nl == std::string::npos ? buffer_.size() : nl;
    buffer_.erase(0, nl == std::string::npos ? std::string::npos : nl + 1);
    if (nl == std::string::npos) return false;
    take_dropped(line);
    return true;
  }
  size_t end = nl == std::string::npos ? buffer_.size() : nl;
  if (end > COMMAND_LINE_MAX) {
    // Kept: enough of its start to tell what it was meant to be.
    dropping_ = true;
    dropped_head_.assign(buffer_, 0, 64);
    return take_buffered(line);
  }
  if (nl == std::string::npos) return false;
  line.length = nl;
  size_t nul = buffer_.find('\0');
  line.kind = nul < nl ? InputLine::Kind::HasNul : InputLine::Kind::Text;
  line.text.assign(buffer_, 0, std::min(nl, nul));
  buffer_.erase(0, nl + 1);
  return true;
}

bool LineReader::next_line(InputLine& line) {
  for (;;) {
    if (take_buffered(line)) return true;
    char chunk[4096];
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      buffer_.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) ended_ = true;
    if (n == 0 && (dropping_ || !buffer_.empty())) {  // last line of the input, without a line feed
      buffer_.push_back('\n');
      continue;
    }
    return false;  // nothing more now (or an error); a partial line waits for its end
  }
}

bool handle_input_line(PlayerState& st, const InputLine& input) {
  const std::string& line = input.text;
  if (input.kind != InputLine::Kind::Text) {
    if (input.kind == InputLine::Kind::TooLong)
      log_line("ERROR: Command line too long (%zu characters, at most %zu) - dropped", input.length, COMMAND_LINE_MAX);
    else
      log_line("ERROR: Command line holds a NUL byte - dropped");
    // A manager waiting for this preload's outcome hears it failed.
    if (starts_with(line.c_str(), protocol::CMD_PRELOAD))
      send_with_ack(protocol::PRELOAD_ERROR, protocol::ACK_PRELOAD_ERROR);
    return false;
  }
  if (line.empty()) return false;
  if (starts_with(line.c_str(), protocol::ACK_PREFIX)) {
    signal_ack_received(line.c_str());
    return false;
  }
  log_line("%s%s", protocol::COMMAND_TAKEN, line.c_str());
  if (dispatch_command(st, line.c_str()) == CommandOutcome::Rejected) return false;
  log_line("[HEARTBEAT] Command processed: %s (iteration %lu)", line.c_str(),
           static_cast<unsigned long>(main_loop_iterations.load()));
  return true;
}

InputWait stdin_wait() {
  LineReader& reader = stdin_reader();
  if (reader.has_buffered_line()) return InputWait::Now;
  return reader.ended() ? InputWait::Ended : InputWait::Watch;
}

void read_and_handle_stdin(PlayerState& st) {
  LineReader& reader = stdin_reader();
  if (!reader.has_buffered_line() && !reader.readable_now()) return;
  log_line("%s%lu)", protocol::INPUT_POLL, static_cast<unsigned long>(main_loop_iterations.load()));
  int previous_flags = fcntl(STDIN_FILENO, F_GETFL);
  if (previous_flags != -1) fcntl(STDIN_FILENO, F_SETFL, previous_flags | O_NONBLOCK);
  InputLine line;
  while (reader.next_line(line)) {
    if (handle_input_line(st, line)) break;
  }
  if (previous_flags != -1) fcntl(STDIN_FILENO, F_SETFL, previous_flags);
}

void take_answers_before_exit(double seconds) {
  LineReader& reader = stdin_reader();
  int previous_flags = fcntl(STDIN_FILENO, F_GETFL);
  if (previous_flags != -1) fcntl(STDIN_FILENO, F_SETFL, previous_flags | O_NONBLOCK);
  gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * G_TIME_SPAN_SECOND);
  while (delivery_pending() && g_get_monotonic_time() < deadline) {
    InputLine line;
    while (reader.next_line(line))
      if (line.kind == InputLine::Kind::Text && starts_with(line.text.c_str(), protocol::ACK_PREFIX))
        signal_ack_received(line.text.c_str());
    g_usleep(10000);
  }
  if (previous_flags != -1) fcntl(STDIN_FILENO, F_SETFL, previous_flags);
}

namespace {

void command_audio(const char* args) {
  char* end = nullptr;
  double volume = g_ascii_strtod(args, &end);
  int mute = -1;
  if (end != args && end && *end == ' ') mute = end[1] == '1' ? 1 : end[1] == '0' ? 0 : -1;
  if (mute < 0 || end[2] != '\0' || !(volume >= 0.0 && volume <= 1.0)) {
    log_line("%stakes a volume from 0 to 1 and a mute of 0 or 1, not \"%s\"", protocol::AUDIO_REFUSED, args);
    return;
  }
  set_sound_level(volume, mute == 1);
  log_line("%s%.2f, %s", protocol::AUDIO_LEVEL, volume, mute ? "muted" : "on");
}

void command_screen(const char* args) {
  if (strcmp(args, "on") != 0 && strcmp(args, "off") != 0) {
    log_line("%stakes on or off, not \"%s\"", protocol::SCREEN_REFUSED, args);
    return;
  }
  screen_sleep(strcmp(args, "off") == 0);
}

}  // namespace

CommandOutcome dispatch_command(PlayerState& st, const char* line) {
  using namespace protocol;
  if (strcmp(line, CMD_PLAY) == 0) {
    command_play(st);
  } else if (strcmp(line, CMD_PAUSE) == 0) {
    command_pause(st);
  } else if (strcmp(line, CMD_RESTART) == 0) {
    command_restart(st);
  } else if (strcmp(line, CMD_TEMPO) == 0) {
    command_tempo(st);
  } else if (starts_with(line, CMD_SNAPSHOT)) {
    handle_snapshot_command(st, line + strlen(CMD_SNAPSHOT));
  } else if (starts_with(line, CMD_AUDIO)) {
    command_audio(line + strlen(CMD_AUDIO));
  } else if (starts_with(line, CMD_SCREEN)) {
    command_screen(line + strlen(CMD_SCREEN));
  } else if (strcmp(line, CMD_DROP_PRELOAD) == 0) {
    handle_drop_preload_command(st);
  } else if (starts_with(line, CMD_PRELOAD)) {
    return handle_preload_command(st, line + strlen(CMD_PRELOAD));
  } else if (starts_with(line, CMD_SWITCH_AT_END)) {  // before "switch", its prefix
    handle_switch_at_end_command(st);
  } else if (starts_with(line, CMD_SWITCH_AT)) {
    handle_switch_at_command(st, line + strlen(CMD_SWITCH_AT));
  } else if (starts_with(line, CMD_SWITCH)) {
    handle_switch_command(st);
  } else if (starts_with(line, CMD_VIDEO)) {
    return handle_video_command(st, line + strlen(CMD_VIDEO));
  } else if (strcmp(line, CMD_STOP) == 0) {
    command_stop(st);
  } else if (strcmp(line, CMD_STATUS) == 0) {
    command_status(st);
  } else if (strcmp(line, CMD_EXIT) == 0) {
    st.quit = TRUE;
  }
  return CommandOutcome::Processed;
}

namespace {

// A settled pipeline with a child still in a state change of its own is a
// change that will never finish (seen on a preload's decodebin after a switch
// while paused): going to PLAYING would then make the pipeline retry its
// state change without end. Such a change is given up, so the child follows
// the pipeline again.
void settle_unfinished_children(GstElement* pipeline) {
  GstState state = GST_STATE_VOID_PENDING, pending = GST_STATE_VOID_PENDING;
  if (gst_element_get_state(pipeline, &state, &pending, 0) != GST_STATE_CHANGE_SUCCESS) return;
  for_each_element(gst_bin_iterate_elements(GST_BIN(pipeline)), [](GstElement* child) {
    // Held by a change in progress on another thread: that one will finish.
    if (g_rec_mutex_trylock(GST_STATE_GET_LOCK(child))) {
      GST_OBJECT_LOCK(child);
      bool unfinished =
          GST_STATE_PENDING(child) != GST_STATE_VOID_PENDING && GST_STATE_RETURN(child) == GST_STATE_CHANGE_ASYNC;
      GST_OBJECT_UNLOCK(child);
      if (unfinished) {
        GStr name(gst_object_get_name(GST_OBJECT(child)));
        log_line("[PLAY] %s was left in an unfinished state change - given up", name.get());
        gst_element_abort_state(child);
      }
      g_rec_mutex_unlock(GST_STATE_GET_LOCK(child));
    }
  });
}

}  // namespace

void command_play(PlayerState& st) {
  if (st.pipeline) settle_unfinished_children(st.pipeline);
  if (st.pipeline) gst_element_set_state(st.pipeline, GST_STATE_PLAYING);
  st.is_playing = TRUE;
  st.position_guard_active = TRUE;
}

void command_pause(PlayerState& st) {
  drop_prepared_rebuild();  // placed on the clock, it would show while paused
  if (st.pipeline) gst_element_set_state(st.pipeline, GST_STATE_PAUSED);
  st.is_playing = FALSE;
  st.position_guard_active = FALSE;
}

void command_restart(PlayerState& st) {
  drop_prepared_rebuild();  // placed where the file ended before it started again
  if (st.pipeline) {
    gst_element_seek_simple(st.pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, 0);
    gst_element_set_state(st.pipeline, GST_STATE_PLAYING);
  }
  st.is_playing = TRUE;
  st.position_guard_last = 0;
  st.position_guard_active = TRUE;
}

std::string format_tempo(gint64 position, gint64 duration) {
  long p = static_cast<long>(position / GST_SECOND);
  long d = static_cast<long>(duration / GST_SECOND);
  char text[96];
  snprintf(text, sizeof text, "Tempo: %02ld:%02ld / %02ld:%02ld", p / 60, p % 60, d / 60, d % 60);
  return text;
}

void command_tempo(PlayerState& st) {
  gint64 position = 0, duration = 0;
  // A query can succeed with -1, meaning "not known yet": that is no time to show.
  if (st.pipeline && gst_element_query_position(st.pipeline, GST_FORMAT_TIME, &position) &&
      gst_element_query_duration(st.pipeline, GST_FORMAT_TIME, &duration) && position >= 0 && duration >= 0) {
    log_line("%s", format_tempo(position, duration).c_str());
  } else {
    log_line("Tempo indisponível");
  }
}

void command_stop(PlayerState& st) {
  if (st.pipeline) {
    gst_element_seek_simple(st.pipeline, GST_FORMAT_TIME,
                            static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0);
    gst_element_set_state(st.pipeline, GST_STATE_PAUSED);
  }
  st.is_playing = FALSE;
  st.position_guard_active = FALSE;
  st.position_guard_last = 0;
  cancel_scheduled_rebuild("[STOP] 🔄 Canceling scheduled restart");
  if (ignore_next_switch) {
    log_line("[STOP] 🧹 Resetting ignore_next_switch flag");
    ignore_next_switch = 0;
  }
  if (!suppress_events) send_with_ack(protocol::STOPPED, protocol::ACK_STOPPED);
}

void command_status(PlayerState& st) {
  const char* status = "paused";
  gint64 position = 0;
  if (st.is_playing) {
    status = "playing";
  } else if (st.pipeline && gst_element_query_position(st.pipeline, GST_FORMAT_TIME, &position) && position == 0) {
    status = "stopped";
  }

  GStr playing;
  if (st.filesrc && !st.uri_mode) {
    g_object_get(st.filesrc, "location", playing.out(), nullptr);
  } else if (st.uri_mode && st.pipeline) {
    g_object_get(st.pipeline, "uri", playing.out(), nullptr);
  }
  // playbin's address back to the path it was made from.
  if (st.uri_mode && playing && g_str_has_prefix(playing.get(), "file://")) {
    if (gchar* path = g_filename_from_uri(playing.get(), nullptr, nullptr)) *playing.out() = path;
  }
  const char* playing_text = playing ? playing.get() : "none";

  gint64 time_ns = 0;
  int seconds = 0;
  if (st.pipeline && gst_element_query_position(st.pipeline, GST_FORMAT_TIME, &time_ns))
    seconds = static_cast<int>(time_ns / GST_SECOND);
  log_line("Status: %s | Playing: %s | Preload: %s | Time: %d", status, playing_text,
           st.preload_video_path ? st.preload_video_path : "none", seconds);
}
