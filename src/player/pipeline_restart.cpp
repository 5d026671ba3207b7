// The complete rebuild: the running pipeline is thrown away and a fresh
// switching pipeline plays the preloaded file, or the file on screen again.
#include "player/pipeline_restart.h"

#include <cstring>
#include <string>

#include "core/gst_holders.h"
#include "core/log.h"
#include "core/sound_output.h"
#include "core/pipeline_setup.h"
#include "messaging/ack_delivery.h"
#include "platform/screen.h"
#include "platform/shared_clock.h"
#include "protocol/protocol.h"
#include "restart/rebuild_policy.h"
#include "switching/branch.h"
#include "switching/file_end.h"
#include "switching/preload.h"
#include "switching/video_command.h"
#include "switching/cleanup.h"
#include "switching/switch_at_end.h"
#include "switching/switch_command.h"
#include "watchdog/heartbeat.h"

namespace {

constexpr const char* PLACEHOLDER_PATH = "/placeholder.mp4";
// A pipeline that does not reach its state in this time is left behind
// rather than hanging the player with its watchdog stopped.
constexpr GstClockTime STATE_CHANGE_LIMIT = 10 * GST_SECOND;

template <typename T>
void drop(T*& ref) {
  if (ref) gst_object_unref(ref);
  ref = nullptr;
}

GstElement* lookup(GstElement* pipeline, const char* name) { return gst_bin_get_by_name(GST_BIN(pipeline), name); }

gboolean skip(const char* line) {
  log_line("%s", line);
  rebuild_skipped();
  suppress_events = 0;
  return TRUE;
}

}  // namespace

void tear_down_pipeline(PlayerState& st) {
  GstElement* old = st.pipeline;
  st.pipeline = nullptr;
  global_pipeline = nullptr;
  gst_element_set_state(old, GST_STATE_NULL);
  if (gst_element_get_state(old, nullptr, nullptr, STATE_CHANGE_LIMIT) != GST_STATE_CHANGE_SUCCESS) {
    log_line("[RESTART] Old pipeline did not stop in time - leaving it behind");
    return;  // releasing a pipeline that is still running would crash; leak it instead
  }
  gst_object_unref(old);
}

void clear_pipeline_handles(PlayerState& st) {
  disarm_switch_at_end();
  forget_video_branch(st);
  st.video_switching_in_progress = 0;
  std::lock_guard<std::mutex> lock(preload_lock());
  drop(st.filesrc);
  drop(st.input_selector);
  drop(st.glimagesink_element);
  st.preload_filesrc = st.preload_qtdemux = st.preload_queue = st.preload_h264parse = nullptr;
  st.preload_audio_queue = st.preload_decodebin = st.preload_audioconvert = nullptr;
  st.preload_audio_capsfilter = nullptr;
  drop_pad_ref(st.preload_selector_pad);
  drop_pad_ref(st.preload_audio_selector_pad);
  st.preload_video_probe_id = 0;
  st.preload_audio_probe_id = 0;
  st.preload_ready = 0;
  st.preload_checked = 0;
  st.preload_branch_id = 0;
  g_free(st.preload_video_path);
  st.preload_video_path = nullptr;
}

namespace {

void add_branch_metadata(PlayerState& st, GstElement* demux, gboolean no_sound) {
  log_line("[RESTART] 🔧 Adding metadata to demux0 for proper switch behavior...");
  ElementRef queue(lookup(st.pipeline, "queue0"));
  ElementRef parser(lookup(st.pipeline, "h264parse0"));
  if (demux && queue && parser && st.input_selector) {
    GObject* d = G_OBJECT(demux);
    g_object_set_data(d, branch_key::FILESRC, st.filesrc);
    g_object_set_data(d, branch_key::QUEUE, queue.get());
    g_object_set_data(d, branch_key::H264PARSE, parser.get());
    g_object_set_data(d, branch_key::SELECTOR, st.input_selector);
    g_object_set_data(d, branch_key::IS_PRELOAD, GINT_TO_POINTER(0));
    g_object_set_data(G_OBJECT(parser.get()), branch_key::OWNER_DEMUXER, demux);
    log_raw("[RESTART] ✅ Video metadata added (filesrc=%p, queue=%p, h264parse=%p)\n", static_cast<void*>(st.filesrc),
            static_cast<void*>(queue.get()), static_cast<void*>(parser.get()));
  } else {
    log_line("[RESTART] ⚠️  WARNING: Could not find all elements for metadata!");
  }
  active_audio_selector_pad_owner = nullptr;
  if (no_sound) return;

  drop(st.audio_selector);
  st.audio_selector = lookup(st.pipeline, "audio_selector");
  log_raw("[RESTART] 🔄 Updated audio_selector: %p\n", static_cast<void*>(st.audio_selector));
  ElementRef audio_queue(lookup(st.pipeline, "audio_queue0"));
  ElementRef decodebin(lookup(st.pipeline, "decodebin0"));
  ElementRef audioconvert(lookup(st.pipeline, "audioconvert0"));
  if (demux && audio_queue && decodebin && audioconvert) {
    GObject* d = G_OBJECT(demux);
    g_object_set_data(d, branch_key::AUDIO_QUEUE, audio_queue.get());
    g_object_set_data(d, branch_key::DECODEBIN, decodebin.get());
    g_object_set_data(d, branch_key::AUDIOCONVERT, audioconvert.get());
    g_object_set_data(d, branch_key::AUDIO_SELECTOR, st.audio_selector);
    log_raw("[RESTART] ✅ Audio metadata added (audio_queue=%p, decodebin=%p, audioconvert=%p)\n",
            static_cast<void*>(audio_queue.get()), static_cast<void*>(decodebin.get()),
            static_cast<void*>(audioconvert.get()));
  } else {
    log_line("[RESTART] ⚠️  WARNING: Could not find all audio elements for metadata!");
  }
}

}  // namespace

gboolean perform_complete_pipeline_restart(PlayerState& st, gboolean no_sound) {
  drop_prepared_rebuild_if_any();  // this rebuild takes its place
  log_line("[RESTART] 🔇 Suppressing events during restart");
  suppress_events = 1;
  log_line("[RESTART] 🔄 Starting complete pipeline restart...");
  if (guint id = cancel_pending_cleanup()) log_raw("[RESTART] ⚠️  Cancelled pending cleanup (ID: %u) before restart\n", id);
  if (cleanup_in_progress) {
    log_line("[RESTART] ⚠️  Resetting cleanup_in_progress flag");
    cleanup_in_progress = 0;
  }

  // A ready preload is rebuilt for even when nothing with a file source is on
  // screen (the idle picture), or its "Preload complete" would never come.
  // A check still running would answer for a preload this rebuild consumes:
  // it is stopped first, and only a preload it had finished is played.
  bool preload_is_ready = preload_progress_freeze() && st.preload_video_path;
  if (!st.pipeline || (!st.filesrc && !preload_is_ready)) return skip("[RESTART] ⚠️  SKIP: No active video");

  std::string target;
  if (preload_is_ready) {
    target = st.preload_video_path;
    log_raw("[RESTART] 🎬 Preload detected - will switch to: %s\n", target.c_str());
  } else {
    GStr location;
    g_object_get(st.filesrc, "location", location.out(), nullptr);
    if (location && strcmp(location.get(), PLACEHOLDER_PATH) == 0) return skip("[RESTART] ⚠️  SKIP: Placeholder video");
    if (!location) {
      log_line("[RESTART] ❌ ERROR: No file to restore!");
      suppress_events = 0;
      return FALSE;
    }
    target = location.get();
    log_raw("%s%s\n", protocol::REBUILD_REPLAY, target.c_str());
  }
  log_raw("[RESTART] 💾 Target video: %s\n", target.c_str());
  log_line("[RESTART] 🧹 Cleaning up old pipeline...");
  tear_down_pipeline(st);
  clear_pipeline_handles(st);

  log_line("[RESTART] 🔨 Creating fresh pipeline...");
  GstElement* pipeline = make_rebuilt_pipeline(target, no_sound);
  if (!pipeline) {
    log_line("[RESTART] ❌ ERROR: Failed to create pipeline!");
    suppress_events = 0;
    return FALSE;
  }
  adopt_rebuilt_pipeline(st, pipeline, no_sound);

  log_line("[RESTART] ▶️  Starting playback from beginning...");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  if (gst_element_get_state(pipeline, nullptr, nullptr, STATE_CHANGE_LIMIT) == GST_STATE_CHANGE_ASYNC)
    log_line("[RESTART] New pipeline is still starting - going on");
  st.is_playing = TRUE;
  rebuild_done();
  announce_rebuild(take_rebuild_for_ratio());
  return TRUE;
}

GstElement* make_rebuilt_pipeline(const std::string& target, gboolean no_sound) {
  GstElement* pipeline = gst_parse_launch(switching_description(target.c_str(), no_sound).c_str(), nullptr);
  if (!pipeline) return nullptr;
  guard_demuxers(pipeline);
  use_system_clock(pipeline);
  screen_attach(pipeline);  // the same window: the screen never shows what is behind it
  sound_attach(pipeline);
  shared_clock_attach(pipeline);
  return pipeline;
}

void adopt_rebuilt_pipeline(PlayerState& st, GstElement* pipeline, gboolean no_sound) {
  switch_markers_pending = 0;  // they were on the old pipeline's bus
  watch_sink_ends(pipeline);
  st.pipeline = pipeline;
  st.filesrc = lookup(pipeline, "filesrc0");
  st.input_selector = lookup(pipeline, "selector");
  st.glimagesink_element = lookup(pipeline, "videosink");
  global_pipeline = pipeline;
  drop(g_filesrc);
  if (st.filesrc) g_filesrc = GST_ELEMENT(gst_object_ref(st.filesrc));
  drop(g_glimagesink);
  if (st.glimagesink_element) g_glimagesink = GST_ELEMENT(gst_object_ref(st.glimagesink_element));

  GstElement* demux = lookup(pipeline, "demux0");
  drop(active_qtdemux);
  active_qtdemux = demux;
  add_branch_metadata(st, demux, no_sound);
  log_raw("[RESTART] 🔄 Updated global tracking variables (demux=%p)\n", static_cast<void*>(demux));
}

void announce_rebuild(bool ar_fix) {
  log_line("[RESTART] 🔊 Re-enabling events");
  suppress_events = 0;
  if (ar_fix) {
    log_line("[RESTART] 📤 SKIP 'end of video!' - AR fix restart (not real video end)");
  } else {
    log_line("[RESTART] 📤 Emitting 'end of video!' (simulating normal flow)");
    send_with_ack(protocol::END_OF_VIDEO, protocol::ACK_END);
  }
  ignore_next_switch = 1;
  log_line("[RESTART] 🔇 Next switch will be ignored (already handled internally)");
  log_line("[RESTART] 📡 Emitting 'reset' event to manager");
  send_with_ack(protocol::RESET, protocol::ACK_RESET);
  g_usleep(500000);
  log_line("[RESTART] ✅ Restart complete - emitting 'playing'");
  send_with_ack(protocol::PLAYING, protocol::ACK_PLAYING);
  if (ar_fix) {
    log_line("[RESTART] 📤 Emitting 'Preload complete' (AR fix - video now playing)");
    send_with_ack(protocol::PRELOAD_COMPLETE, protocol::ACK_PRELOAD_COMPLETE);
  }
  log_line("[RESTART] 🎬 Normal operation resumed");
}

void take_new_bus(PlayerState& st) {
  if (st.bus) gst_object_unref(st.bus);
  st.bus = st.pipeline ? gst_element_get_bus(st.pipeline) : nullptr;
  watch_preload_errors(st.bus);
}

void execute_pending_restart(PlayerState& st) {
  log_line("[RESTART] 🔄 Executing restart (AR fix or scheduled)...");
  rebuild_started();
  stop_heartbeat();
  if (perform_complete_pipeline_restart(st, st.no_sound)) {
    take_new_bus(st);
    start_heartbeat();
  } else {
    log_line("[RESTART] ❌ CRITICAL: Restart failed - terminating");
    st.quit = TRUE;
  }
}
