#include "player/main_loop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/gst_holders.h"
#include "core/log.h"
#include "core/sound_output.h"
#include "messaging/ack_delivery.h"
#include "platform/screen.h"
#include "player/commands.h"
#include "player/pipeline_restart.h"
#include "player/prepared_rebuild.h"
#include "protocol/protocol.h"
#include "restart/rebuild_policy.h"
#include "switching/branch.h"
#include "switching/file_end.h"
#include "switching/preload.h"
#include "switching/switch_at_end.h"
#include "switching/switch_command.h"
#include "switching/video_command.h"
#include "watchdog/memory_guard.h"

namespace {

void report_video_end(PlayerState& st);

void handle_eos(PlayerState& st, GstObject* src, const char* src_name) {
  log_verbose("[BUS] Processing EOS message (CRITICAL)...");
  log_verbose("[EOS DEBUG] Source: %s | cleanup_in_progress=%d | active_qtdemux=%p", src_name,
           cleanup_in_progress.load(), static_cast<void*>(active_qtdemux));
  if (cleanup_in_progress) {
    log_verbose("[EOS] IGNORED - cleanup in progress");
    return;
  }
  if (!active_qtdemux) {
    log_verbose("%s", protocol::EOS_NO_SOURCE);
    return;
  }
  bool is_from_pipeline = src == GST_OBJECT(st.pipeline);
  bool is_from_active_qtdemux = false;
  if (!is_from_pipeline && GST_IS_ELEMENT(src)) {
    is_from_active_qtdemux = src == GST_OBJECT(active_qtdemux);
    log_verbose("[EOS DEBUG] is_from_pipeline=%d | is_from_active_qtdemux=%d", is_from_pipeline ? 1 : 0,
             is_from_active_qtdemux ? 1 : 0);
  }
  if (!is_from_pipeline && !is_from_active_qtdemux) {
    log_verbose("[EOS] IGNORED - from orphan element: %s", src_name);
    return;
  }
  // Posted before the last switch's seek: the end of the file switched away
  // from, which the manager must not take for the end of the new one.
  if (switch_markers_pending > 0) {
    log_line("[EOS] IGNORED - posted before the last switch");
    return;
  }
  if (is_from_pipeline && !every_sink_at_end()) {
    log_line("[EOS] IGNORED - a sink's end from before the last switch; waiting for the sinks");
    await_end_at_sinks();
    return;
  }
  report_video_end(st);
}

void report_video_end(PlayerState& st) {
  log_verbose("[EOS] VALID - end of video!");
  if (rebuild_due_at_video_end()) {
    log_line("%s", protocol::REBUILD_AT_EOS);
    if (!prepared_rebuild_takes_end(st)) rebuild_now();
  } else if (!suppress_events) {
    send_with_ack(protocol::END_OF_VIDEO, protocol::ACK_END);
  }
}

// True when the object is (inside) an element that is still part of the pipeline.
bool inside_pipeline(PlayerState& st, GstObject* object) {
  for (GstObject* o = object; o; o = GST_OBJECT_PARENT(o))
    if (o == GST_OBJECT(st.pipeline)) return true;
  return false;
}

// Any child's error marks the pipeline's last state change as failed, and a
// pipeline so marked ignores the preroll that every flushing seek starts: the
// sinks would stay paused after the next switch. An error we do not let end
// the player must not leave that mark behind.
void forgive_ignored_error(GstElement* pipeline) {
  GST_OBJECT_LOCK(pipeline);
  if (GST_STATE_RETURN(pipeline) == GST_STATE_CHANGE_FAILURE)
    GST_STATE_RETURN(pipeline) =
        GST_STATE_PENDING(pipeline) == GST_STATE_VOID_PENDING ? GST_STATE_CHANGE_SUCCESS : GST_STATE_CHANGE_ASYNC;
  GST_OBJECT_UNLOCK(pipeline);
}

// An error that ends a branch, not the player, is answered with its own
// lines; the pipeline keeps playing what is on screen.
void set_aside_error(PlayerState& st, GError* err, gchar* debug) {
  forgive_ignored_error(st.pipeline);
  if (err) g_error_free(err);
  g_free(debug);
}

void handle_error(PlayerState& st, GstMessage* msg) {
  GstObject* src = GST_MESSAGE_SRC(msg);
  GError* err = nullptr;
  gchar* debug = nullptr;
  gst_message_parse_error(msg, &err, &debug);
  const char* text = err ? err->message : nullptr;
  // A broken file offered for preload fails that preload, not the screen:
  // judged by whose the element was when it posted.
  unsigned posted_by_preload = preload_error_branch(msg);
  if (posted_by_preload != 0 && posted_by_preload != st.preload_branch_id.load()) {
    log_line("[BUS] Error posted by a preload before it was switched to or dropped - ignored: %s",
             text ? text : "(null)");
    return set_aside_error(st, err, debug);
  }
  if (posted_by_preload != 0 || preload_owns(st, src)) {
    handle_preload_failure(st, st.preload_qtdemux, text);
    return set_aside_error(st, err, debug);
  }
  // So does a file given to the video command that never showed.
  if (video_branch_failing(st, branch_id_of(src))) {
    handle_video_failure(st, text);
    return set_aside_error(st, err, debug);
  }
  // An element already taken out of the pipeline (a failed preload's, a
  // replaced branch's) no longer affects what is shown.
  if (GST_IS_PIPELINE(st.pipeline) && !inside_pipeline(st, src)) {
    log_line("[BUS] Error from an element no longer in the pipeline - ignored: %s", text ? text : "(null)");
    return set_aside_error(st, err, debug);
  }
  log_line("[BUS] ⚠️⚠️⚠️  Processing ERROR message (CRITICAL)...");
  log_line("%s%s", protocol::BUS_ERROR, text ? text : "(null)");
  if (debug) log_line("%s%s", protocol::BUS_ERROR_DEBUG, debug);
  if (err) g_error_free(err);
  g_free(debug);
  st.fatal_error = TRUE;
  st.quit = TRUE;
  log_line("[BUS] ❌ ERROR message processed, quit flag set - APPLICATION WILL EXIT (exit code 1)");
}

void handle_state_changed(PlayerState& st, GstMessage* msg, GstObject* src, const char* src_name) {
  log_verbose("[BUS] Processing STATE_CHANGED message from %s...", src_name);
  GstState old_state, new_state, pending;
  gst_message_parse_state_changed(msg, &old_state, &new_state, &pending);
  if (src == GST_OBJECT(st.pipeline)) {
    log_verbose("[STATE] Pipeline: %s -> %s (pending: %s)", gst_element_state_get_name(old_state),
             gst_element_state_get_name(new_state), gst_element_state_get_name(pending));
    if (old_state == GST_STATE_PAUSED && new_state == GST_STATE_PLAYING && !suppress_events)
      send_with_ack(protocol::PLAYING, protocol::ACK_PLAYING);
    return;
  }
  static const char* const watched[] = {"filesrc", "qtdemux", "input-selector", "audio-selector"};
  for (const char* pattern : watched) {
    if (strstr(src_name, pattern)) {
      log_verbose("[STATE] %s: %s -> %s", src_name, gst_element_state_get_name(old_state),
               gst_element_state_get_name(new_state));
      return;
    }
  }
}

void handle_async_done(PlayerState& st, GstObject* src) {
  log_verbose("[BUS] Processing ASYNC_DONE message...");
  if (src == GST_OBJECT(st.pipeline)) {
    log_verbose("[ASYNC_DONE] Pipeline completed async state change!");
    GstState current, pending;
    gst_element_get_state(st.pipeline, &current, &pending, 0);
    log_verbose("[ASYNC_DONE] Current state: %s (pending: %s)", gst_element_state_get_name(current),
             gst_element_state_get_name(pending));
  }
  log_verbose("[BUS] ASYNC_DONE message processed");
}

void handle_branch_failure_message(PlayerState& st, GstMessage* msg) {
  const GstStructure* s = gst_message_get_structure(msg);
  if (!s || !gst_structure_has_name(s, BRANCH_FAILED_MESSAGE)) return;
  guint branch = 0;
  gst_structure_get_uint(s, "branch", &branch);
  const char* reason = gst_structure_get_string(s, "reason");
  if (branch != 0 && branch == st.preload_branch_id.load())
    handle_preload_failure(st, st.preload_qtdemux, reason);
  else if (video_branch_failing(st, branch))
    handle_video_failure(st, reason);
}

}  // namespace

namespace {

enum class Drain { Next, Stop };

// Handles one popped message; the caller releases it.
Drain handle_message(PlayerState& st, GstMessage* msg, int& state_change_count, bool& handled) {
  GstMessageType type = GST_MESSAGE_TYPE(msg);
  const char* type_name = gst_message_type_get_name(type);
  GstObject* src = GST_MESSAGE_SRC(msg);
  if (!src) {
    log_verbose("[BUS] ⚠️  DISCARDED message from NULL source (msg_src == NULL)");
    return Drain::Next;
  }
  GStr name(gst_object_get_name(src));
  const char* src_name = name.or_null_text();
  log_verbose("[BUS] Got %s message from %s", type_name, src_name);
  if (name && strcmp(name.get(), "(null)") == 0) {
    log_verbose("[BUS] ⚠️  DISCARDED message with '(null)' name");
    return Drain::Next;
  }
  if (type == GST_MESSAGE_STATE_CHANGED && src != GST_OBJECT(st.pipeline) &&
      ++state_change_count > BUS_STATE_CHANGE_LIMIT) {
    log_verbose("[BUS] ⚠️  DISCARDED %s from %s (limit reached: %d messages)", type_name, src_name,
             BUS_STATE_CHANGE_LIMIT);
    return Drain::Stop;
  }
  switch (type) {
    case GST_MESSAGE_EOS:
      handle_eos(st, src, src_name);
      break;
    case GST_MESSAGE_ERROR:
      handle_error(st, msg);
      break;
    case GST_MESSAGE_STATE_CHANGED:
      handle_state_changed(st, msg, src, src_name);
      break;
    case GST_MESSAGE_ASYNC_DONE:
      handle_async_done(st, src);
      break;
    case GST_MESSAGE_APPLICATION:
      if (is_switch_marker(msg) && switch_markers_pending > 0) switch_markers_pending--;
      handle_branch_failure_message(st, msg);
      if (is_switch_at_end_message(msg)) handle_switch_at_end_message(st, msg);
      if (is_current_sinks_ended_message(msg) && active_qtdemux && !cleanup_in_progress) report_video_end(st);
      break;
    default:
      break;
  }
  log_verbose("[BUS] Message %s from %s processed, unreffing...", type_name, src_name);
  handled = true;
  return Drain::Next;
}

}  // namespace

void drain_bus(PlayerState& st) {
  if (!st.bus) return;
  int state_change_count = 0;
  while (gst_bus_have_pending(st.bus)) {
    log_verbose("[BUS] Processing pending message (iteration %lu)...",
             static_cast<unsigned long>(main_loop_iterations.load()));
    GstMessage* peeked = gst_bus_peek(st.bus);
    if (!peeked) {
      log_verbose("[BUS] ⚠️  gst_bus_have_pending() returned TRUE but peek() returned NULL - bus corrupted!");
      break;
    }
    gst_message_unref(peeked);

    GstMessage* msg = gst_bus_pop(st.bus);
    if (!msg) continue;
    bool handled = false;
    Drain next = handle_message(st, msg, state_change_count, handled);
    gst_message_unref(msg);
    if (handled) log_verbose("[BUS] Message unreffed successfully");
    if (next == Drain::Stop) break;
  }
}

void apply_position_guard(PlayerState& st) {
  if (!st.position_guard_active || !st.is_playing || !st.pipeline) return;
  gint64 position = 0;
  if (!gst_element_query_position(st.pipeline, GST_FORMAT_TIME, &position)) return;
  if (st.position_guard_last > 0 && position > st.position_guard_last + POSITION_JUMP_LIMIT) {
    gst_element_seek_simple(st.pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, 0);
    st.position_guard_last = 0;
  } else {
    st.position_guard_last = position;
  }
}

namespace {

// The rebuild schedule counts periods of MAIN_LOOP_SLEEP_US, not wake-ups, so
// that a loop woken by every message still rebuilds about four hours apart.
void count_schedule_periods() {
  static gint64 counted_until = 0;
  gint64 now = g_get_monotonic_time();
  if (counted_until == 0 || now < counted_until) counted_until = now;
  while (now - counted_until >= static_cast<gint64>(MAIN_LOOP_SLEEP_US)) {
    counted_until += MAIN_LOOP_SLEEP_US;
    print_restart_progress();
    schedule_restart_by_iterations();
  }
}

}  // namespace

void wait_for_work(PlayerState& st) {
  InputWait input = stdin_wait();
  if (input == InputWait::Now) return;
  pollfd fds[2];
  nfds_t n = 0;
  if (st.bus) {
    GPollFD bus_fd{};
    gst_bus_get_pollfd(st.bus, &bus_fd);
    fds[n++] = pollfd{bus_fd.fd, POLLIN, 0};
  }
  // Input that has ended always reads as ready: polled, it would spin.
  if (input == InputWait::Watch) fds[n++] = pollfd{STDIN_FILENO, POLLIN, 0};
  if (poll(fds, n, static_cast<int>(MAIN_LOOP_SLEEP_US / 1000)) < 0 && errno != EINTR) g_usleep(MAIN_LOOP_SLEEP_US);
}

void main_loop_iteration(PlayerState& st) {
  uint64_t iteration = ++main_loop_iterations;
  last_iteration_time = monotonic_seconds();
  drain_bus(st);
  read_and_handle_stdin(st);
  apply_position_guard(st);
  if (iteration % 1000 == 0)
    log_line("[CONTEXT DEBUG] Iteration %lu | pending_sources=%s", static_cast<unsigned long>(iteration),
             g_main_context_pending(nullptr) ? "YES" : "NO");
  check_shared_memory();
  screen_poll();
  if (sound_device_back()) {
    // The sound device came back: the pipeline is built again at the file's end, playing into it.
    log_line("[AUDIO] The sound device %s is back - the sound returns with a rebuild at the end of the file on screen",
             sound_device().c_str());
    schedule_rebuild_at_video_end();
  }
  g_main_context_iteration(g_main_context_default(), FALSE);
  count_schedule_periods();
  prepared_rebuild_step(st);
  if (rebuild_pending()) execute_pending_restart(st);
  wait_for_work(st);
}

void run_main_loop(PlayerState& st) {
  while (!st.quit) main_loop_iteration(st);
}
