#include "switching/cleanup.h"

#include "core/gst_holders.h"
#include "core/log.h"
#include "core/pipeline_setup.h"
#include "core/player_state.h"
#include "protocol/protocol.h"
#include "switching/branch.h"

namespace {

// The record of the pending timeout, so that a cancellation can release it.
CleanupData* pending_record = nullptr;

struct ElementRow {
  GstElement** field;
  const char* name;
};

void release_element_ref(GstElement** field) {
  if (*field) gst_object_unref(*field);
  *field = nullptr;
}

// Stops and removes an element still in the pipeline; counts it as a leak when it will not reach NULL now.
void stop_and_remove(CleanupData* d, const ElementRow& row, int& leak_count) {
  GstElement* e = *row.field;
  gst_element_set_state(e, GST_STATE_NULL);
  GstState current, pending;
  gst_element_get_state(e, &current, &pending, 0);
  if (current == GST_STATE_NULL && pending == GST_STATE_VOID_PENDING) {
    GstObject* parent = gst_object_get_parent(GST_OBJECT(e));
    if (parent) {
      if (parent == GST_OBJECT(d->pipeline)) gst_bin_remove(GST_BIN(d->pipeline), e);
      gst_object_unref(parent);
    }
    release_element_ref(row.field);
    log_line("[CLEANUP] ✅ Removed and cleared %s", row.name);
  } else {
    log_raw("[CLEANUP ERROR] ⚠️  %s not ready (state=%s, pending=%s) - SKIPPING (MEMORY LEAK)\n", row.name,
            gst_element_state_get_name(current), gst_element_state_get_name(pending));
    leak_count++;
  }
}

void apply_element_rule(CleanupData* d, const ElementRow& row, bool already_removed, int& leak_count) {
  if (!*row.field) return;
  if (already_removed) {
    release_element_ref(row.field);
    log_line("[CLEANUP] ✅ Cleared %s (already removed in switch)", row.name);
    return;
  }
  stop_and_remove(d, row, leak_count);
}

void disconnect_handlers(GstElement* e, const char* name, gpointer func, bool match_null_data) {
  log_line("[CLEANUP] Disconnecting signal handlers from %s...", name);
  guint n = match_null_data ? g_signal_handlers_disconnect_matched(
                                  e, static_cast<GSignalMatchType>(G_SIGNAL_MATCH_FUNC | G_SIGNAL_MATCH_DATA), 0, 0,
                                  nullptr, func, nullptr)
                            : g_signal_handlers_disconnect_matched(e, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr, func, nullptr);
  log_raw("[CLEANUP] Disconnected %u signal handlers from %s\n", n, name);
}

// Unlinks the element's src pad before it is stopped; false when that failed.
bool validate_links(GstElement* e, const char* label) {
  log_line("[CLEANUP] Validating %s links (SAFE)...", label);
  PadRef src(gst_element_get_static_pad(e, "src"));
  if (!src) return true;
  PadRef peer(gst_pad_get_peer(src.get()));
  if (!peer) return true;
  if (!gst_pad_unlink(src.get(), peer.get())) {
    log_line("[CLEANUP ERROR] ⚠️  Failed to unlink %s - SKIPPING (MEMORY LEAK)", label);
    return false;
  }
  log_line("[CLEANUP] ✅ Unlinked %s from peer pad", label);
  return true;
}

void apply_pad_rule(GstElement* selector, GstPad** pad_field, bool video, int& leak_count) {
  GstPad* pad = *pad_field;
  if (!selector || !pad) return;
  log_raw(video ? "[CLEANUP] Attempting to release video_selector sink pad: %p\n"
                : "[CLEANUP] Attempting to release audio_selector sink pad: %p\n",
          static_cast<void*>(pad));
  if (gst_pad_is_linked(pad)) {
    log_line(video ? "[CLEANUP] ⚠️  Video pad still linked - FORCING UNLINK before release..."
                   : "[CLEANUP] ⚠️  Pad still linked - FORCING UNLINK before release...");
    PadRef peer(gst_pad_get_peer(pad));
    if (peer) {
      log_raw("[CLEANUP] Found peer pad: %p - unlinking...\n", static_cast<void*>(peer.get()));
      gboolean r = gst_pad_unlink(peer.get(), pad);
      log_raw("[CLEANUP] Unlink result: %d\n", r);
    } else {
      log_line("[CLEANUP] No peer pad found - pad may be in invalid state");
    }
    if (gst_pad_is_linked(pad)) {
      log_line(video ? "[CLEANUP ERROR] ⚠️  Video pad STILL linked after unlink attempt - SKIPPING RELEASE"
                     : "[CLEANUP ERROR] ⚠️  Pad STILL linked after unlink attempt - SKIPPING RELEASE");
      leak_count++;
      return;
    }
    log_line(video ? "[CLEANUP] ✅ Video pad unlinked successfully - proceeding with release"
                   : "[CLEANUP] ✅ Pad unlinked successfully - proceeding with release");
  }
  gst_element_release_request_pad(selector, pad);
  gst_object_unref(pad);
  *pad_field = nullptr;
  log_line(video ? "[CLEANUP] ✅ Video selector pad released" : "[CLEANUP] ✅ Audio selector pad released");
}

void free_record(CleanupData* d) {
  for (GstElement** f : {&d->old_qtdemux, &d->old_filesrc, &d->old_queue, &d->old_h264parse, &d->old_audio_queue,
                         &d->old_decodebin, &d->old_audioconvert, &d->old_audio_capsfilter})
    release_element_ref(f);
  for (GstPad** p : {&d->old_audio_pad, &d->old_video_pad}) {
    if (*p) gst_object_unref(*p);
    *p = nullptr;
  }
  g_free(d);
}

void finish(CleanupData* d) {
  if (pending_record == d) pending_record = nullptr;
  cleanup_in_progress = 0;
  active_cleanup_timeout_id = 0;
}

// False when the record cannot be worked on: it is then finished and released.
bool record_usable(CleanupData* d) {
  if (!d) {
    log_line("[CLEANUP] CRITICAL: user_data is NULL - aborting");
    finish(nullptr);
    return false;
  }
  if (!d->pipeline) {
    log_line("[CLEANUP] CRITICAL: data->pipeline is NULL - aborting");
    finish(d);
    free_record(d);
    return false;
  }
  if (!G_TYPE_CHECK_INSTANCE_TYPE(d->pipeline, GST_TYPE_ELEMENT)) {
    log_line("[CLEANUP] CRITICAL: pipeline is not a valid GstElement (use-after-free!) - aborting");
    finish(d);
    g_free(d);  // its references belong to a pipeline that is gone
    return false;
  }
  log_line("%s", protocol::CLEANUP_START);
  if (d->pipeline != global_pipeline.load()) {
    log_line("[CLEANUP] ⚠️  SKIP: Pipeline was destroyed (restart occurred)");
    finish(d);
    free_record(d);
    return false;
  }
  return true;
}

bool elements_already_removed(const CleanupData* d) {
  if (!d->old_qtdemux || !G_TYPE_CHECK_INSTANCE_TYPE(d->old_qtdemux, GST_TYPE_ELEMENT)) return false;
  bool removed = false;
  GstObject* parent = gst_object_get_parent(GST_OBJECT(d->old_qtdemux));
  if (!parent || parent != GST_OBJECT(d->pipeline)) {
    log_line("[CLEANUP] ℹ️  Elements already removed from pipeline in switch - will unref to free memory");
    removed = true;
  }
  if (parent) gst_object_unref(parent);
  return removed;
}

void log_pipeline_precheck(const CleanupData* d) {
  log_line("[CLEANUP] PRE-CHECK: Verifying pipeline state before removal...");
  GstState state, pending;
  GstStateChangeReturn ret = gst_element_get_state(d->pipeline, &state, &pending, 0);
  log_raw("[CLEANUP] PRE-CHECK: Pipeline=%s, Pending=%s, Return=%s\n", gst_element_state_get_name(state),
          gst_element_state_get_name(pending), state_change_text(ret));
  log_raw("[CLEANUP] PRE-CHECK: switch_in_progress=%d\n", switch_in_progress.load());
}

void flush_old_audio(CleanupData* d, int& leak_count) {
  if (!d->has_audio || !d->old_audioconvert) return;
  log_line("[CLEANUP] Attempting SAFE flush of audio pipeline...");
  PadRef src(gst_element_get_static_pad(d->old_audioconvert, "src"));
  if (!src) return;
  GstState current = GST_STATE_NULL;
  gst_element_get_state(d->old_audioconvert, &current, nullptr, 0);
  if (current == GST_STATE_NULL) {
    // Stopped by the switch already: its pads are inactive and nothing is left to flush.
    log_line("[CLEANUP] Audio elements already stopped - no flush needed");
    return;
  }
  if (!gst_pad_send_event(src.get(), gst_event_new_flush_start())) {
    log_line("[CLEANUP ERROR] ⚠️  Flush start failed on audio pad - SKIPPING FLUSH");
    leak_count++;
    return;
  }
  g_usleep(50000);
  if (!gst_pad_send_event(src.get(), gst_event_new_flush_stop(TRUE)))
    log_line("[CLEANUP ERROR] ⚠️  Flush stop failed on audio pad - continuing anyway");
  else
    log_line("[CLEANUP] ✅ Audio pipeline flushed successfully");
}

void release_video_part(CleanupData* d, bool already_removed, int& leak_count) {
  apply_element_rule(d, {&d->old_filesrc, "old_filesrc"}, already_removed, leak_count);
  if (d->old_qtdemux) {
    disconnect_handlers(d->old_qtdemux, "old_qtdemux", reinterpret_cast<gpointer>(on_pad_added), true);
    apply_element_rule(d, {&d->old_qtdemux, "old_qtdemux"}, already_removed, leak_count);
  }
  apply_element_rule(d, {&d->old_queue, "old_queue"}, already_removed, leak_count);
  apply_element_rule(d, {&d->old_h264parse, "old_h264parse"}, already_removed, leak_count);
  apply_pad_rule(d->video_selector, &d->old_video_pad, true, leak_count);
}

void release_audio_part(CleanupData* d, bool already_removed, int& leak_count) {
  if (!d->has_audio) return;
  apply_element_rule(d, {&d->old_audio_queue, "old_audio_queue"}, already_removed, leak_count);
  if (d->old_decodebin) {
    disconnect_handlers(d->old_decodebin, "old_decodebin", reinterpret_cast<gpointer>(on_decodebin_pad_added),
                        false);
    apply_element_rule(d, {&d->old_decodebin, "old_decodebin"}, already_removed, leak_count);
  }
  for (ElementRow row : {ElementRow{&d->old_audioconvert, "old_audioconvert"},
                         ElementRow{&d->old_audio_capsfilter, "old_audio_capsfilter"}}) {
    if (!*row.field) continue;
    if (already_removed) {
      apply_element_rule(d, row, true, leak_count);
    } else if (!validate_links(*row.field, row.field == &d->old_audioconvert ? "audioconvert" : "audio_capsfilter")) {
      leak_count++;
    } else {
      stop_and_remove(d, row, leak_count);
    }
  }
  apply_pad_rule(d->audio_selector, &d->old_audio_pad, false, leak_count);
}

void report_leaks(int leak_count) {
  if (leak_count > 0) {
    log_raw("%s%d elements could NOT be removed safely!\n", protocol::CLEANUP_LEAKED, leak_count);
    log_raw("[CLEANUP ERROR] ⚠️  Player continues running but with %d leaked elements in memory\n", leak_count);
  } else {
    log_line("%s", protocol::CLEANUP_CLEAN);
  }
}

}  // namespace

gboolean cleanup_old_video_source_callback(gpointer user_data) {
  auto* d = static_cast<CleanupData*>(user_data);
  if (!record_usable(d)) return FALSE;
  bool already_removed = elements_already_removed(d);
  log_pipeline_precheck(d);

  log_line("[CLEANUP] Proceeding with SAFE element-by-element cleanup...");
  cleanup_in_progress = 1;
  int leak_count = 0;
  if (active_qtdemux && active_qtdemux == d->old_qtdemux) {
    log_line("[CLEANUP] Clearing active_qtdemux global pointer");
    gst_object_unref(active_qtdemux);
    active_qtdemux = nullptr;
  }
  flush_old_audio(d, leak_count);
  release_video_part(d, already_removed, leak_count);
  release_audio_part(d, already_removed, leak_count);
  report_leaks(leak_count);
  finish(d);
  free_record(d);
  return FALSE;
}

guint schedule_cleanup(CleanupData* data) {
  pending_record = data;
  guint id = g_timeout_add_seconds(CLEANUP_DELAY_SECONDS, cleanup_old_video_source_callback, data);
  active_cleanup_timeout_id = id;
  return id;
}

guint cancel_pending_cleanup() {
  guint id = active_cleanup_timeout_id.exchange(0);
  if (id == 0) return 0;
  g_source_remove(id);
  CleanupData* d = pending_record;
  pending_record = nullptr;
  if (!d) return id;
  // The old branch is already stopped and out of the pipeline: release its
  // selector pads and references now instead of never.
  if (d->pipeline && d->pipeline == global_pipeline.load()) {
    release_selector_pad(d->video_selector, d->old_video_pad);
    release_selector_pad(d->audio_selector, d->old_audio_pad);
    if (d->old_qtdemux)
      g_signal_handlers_disconnect_matched(d->old_qtdemux,
                                           static_cast<GSignalMatchType>(G_SIGNAL_MATCH_FUNC | G_SIGNAL_MATCH_DATA), 0,
                                           0, nullptr, reinterpret_cast<gpointer>(on_pad_added), nullptr);
  }
  log_raw("[CLEANUP] Released the record of cancelled cleanup (ID: %u)\n", id);
  free_record(d);
  return id;
}
