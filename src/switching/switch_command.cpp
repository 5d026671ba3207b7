// The switch command: flips both selectors to the preloaded branch, stops and
// removes the old branch, seeks to the start and leaves the rest to the
// deferred cleanup.
#include "switching/switch_command.h"

#include <memory>
#include <mutex>
#include <thread>

#include "core/gst_holders.h"
#include "core/log.h"
#include "core/pipeline_setup.h"
#include "protocol/protocol.h"
#include "restart/rebuild_policy.h"
#include "switching/branch.h"
#include "switching/cleanup.h"
#include "switching/handover.h"
#include "switching/switch_at_end.h"
#include "switching/switch_run.h"
#include "switching/video_command.h"

namespace {

constexpr GstClockTime STATE_WAIT = GST_SECOND;

// A branch whose file has no sound never brought its audio elements up: take them out.
void drop_unused_audio_elements(PlayerState& st) {
  GstElement* audio_queue = st.preload_audio_queue;
  if (!audio_queue) return;
  PadRef sink(gst_element_get_static_pad(audio_queue, "sink"));
  if (sink && gst_pad_is_linked(sink.get())) return;
  for (GstElement* e : {st.preload_audio_queue, st.preload_decodebin, st.preload_audioconvert}) {
    if (!e) continue;
    gst_element_set_state(e, GST_STATE_NULL);
    gst_bin_remove(GST_BIN(st.pipeline), e);
  }
  for (const char* key : {branch_key::AUDIO_QUEUE, branch_key::DECODEBIN, branch_key::AUDIOCONVERT})
    g_object_set_data(G_OBJECT(st.preload_qtdemux), key, nullptr);
  std::lock_guard<std::mutex> lock(preload_lock());
  st.preload_audio_queue = st.preload_decodebin = st.preload_audioconvert = nullptr;
}

// Audio for a branch without sound: an audio stream that ends at once, so the
// audio sink reaches its end of stream and the pipeline can report the end of
// the video. Pushed from a thread of its own because the selector holds the
// pushing thread until the pad is flushed or released.
GstPad* request_silent_audio_pad(GstElement* audio_selector) {
  GstPad* pad = gst_element_request_pad_simple(audio_selector, "sink_%u");
  if (!pad) return nullptr;
  log_line("[SWITCH] New video has no sound - audio ends at once");
  return pad;
}

// Takes over the caller's reference to the pad.
void push_silent_stream(GstPad* pad) {
  // The audio sink may still hold the previous file's end of stream and
  // would drop everything after it: a flush through the active pad clears it.
  flush_selector_pad(pad);
  send_empty_audio_stream(pad);
  gst_object_unref(pad);
}

bool has_sticky(GstPad* pad, GstEventType type) {
  GstEvent* event = pad ? gst_pad_get_sticky_event(pad, type, 0) : nullptr;
  if (event) gst_event_unref(event);
  return event != nullptr;
}

// Whether a selector pad's branch has sent its end of stream. While the
// selector holds it back on an inactive pad, the event is not yet stored on
// the selector pad itself: look at the pad that pushed it too.
bool branch_ended(GstPad* selector_pad) {
  if (has_sticky(selector_pad, GST_EVENT_EOS)) return true;
  PadRef peer(gst_pad_get_peer(selector_pad));
  return has_sticky(peer.get(), GST_EVENT_EOS);
}

// A pad whose end of stream has arrived is flushed so that it forgets it.
// Its branch has nothing more to push, so the flush cannot let stray data in.
void forget_end_of_stream(GstPad* pad) {
  if (pad && branch_ended(pad)) flush_selector_pad(pad);
}

// What the flip waits for: the new branch settled at both selectors. Sound
// still being plugged (its decoder not yet negotiated) when the switch's
// flushing seek comes can fail to negotiate, or hang the switch; settled
// means its format has reached the selector pad, or its file has ended.
// Bounded by the pause the flip used to make.
constexpr gint64 SETTLE_WAIT_US = 50000;

bool settled(GstPad* selector_pad) {
  return !selector_pad || has_sticky(selector_pad, GST_EVENT_CAPS) || branch_ended(selector_pad);
}

// False when the wait ran out. The flip is safe either way: the new branch
// is held at its selector pads until the seek has restarted it.
bool wait_until_settled(GstPad* video_pad, GstPad* audio_pad) {
  gint64 deadline = g_get_monotonic_time() + SETTLE_WAIT_US;
  while (!(settled(video_pad) && settled(audio_pad))) {
    if (g_get_monotonic_time() >= deadline) return false;
    g_usleep(1000);
  }
  return true;
}

bool rejected(PlayerState& st) {
  if (ignore_next_switch) {
    log_line("%s", protocol::SWITCH_IGNORED);
    ignore_next_switch = 0;
    return true;
  }
  const char* reason = nullptr;
  if (switch_in_progress)
    reason = "[SWITCH] REJECTED - switch already in progress";
  else if (cleanup_in_progress)
    reason = protocol::SWITCH_REJECTED_CLEANUP;
  else if (!st.input_selector)
    reason = "[SWITCH] ERROR - input_selector is NULL";
  else if (!st.preload_selector_pad.load())
    reason = protocol::SWITCH_ERROR_NO_PAD;
  else if (!st.preload_ready)
    reason = protocol::SWITCH_ERROR_NOT_READY;
  if (reason) log_line("%s", reason);
  return reason != nullptr;
}

void remove_probe(GstPad* pad, std::atomic<gulong>& id_field, std::atomic<gulong>* published, const char* kind) {
  gulong id = id_field;
  if (id != 0 && pad) {
    log_raw("[PROBE LEAK CHECK] %s probe REMOVING: local_ID=%lu | global_ID=%lu | pad=%p\n", kind, id,
            published ? published->load() : 0UL, static_cast<void*>(pad));
    gst_pad_remove_probe(pad, id);
    log_raw("[SWITCH] %s blocking probe removed (ID: %lu)\n", kind, id);
    id_field = 0;
  } else {
    log_raw("[PROBE LEAK CHECK] ⚠️  %s probe NOT removed: local_ID=%lu | pad=%p | LEAK DETECTED!\n", kind, id,
            static_cast<void*>(pad));
  }
}

}  // namespace

int switch_markers_pending = 0;

namespace {
std::atomic<unsigned> switch_count{0};
}  // namespace

unsigned switches_made() { return switch_count.load(); }

bool is_switch_marker(GstMessage* msg) {
  if (GST_MESSAGE_TYPE(msg) != GST_MESSAGE_APPLICATION) return false;
  const GstStructure* s = gst_message_get_structure(msg);
  return s && gst_structure_has_name(s, SWITCH_MARKER);
}

void mark_switch_on_bus(PlayerState& st) {
  switch_count++;
  if (!st.bus) return;
  GstMessage* marker = gst_message_new_application(GST_OBJECT(st.pipeline), gst_structure_new_empty(SWITCH_MARKER));
  if (gst_bus_post(st.bus, marker)) switch_markers_pending++;
}

namespace {

void hold(PadRef& slot, gulong& id, GstPad* pad) {
  if (!pad) return;
  slot.reset(GST_PAD(gst_object_ref(pad)));
  id = hold_selector_pad(pad);
}

void cancel_scheduled_restart() {
  if (cancel_scheduled_rebuild("[SWITCH] 🔄 Canceling scheduled restart (switch provides cleanup)"))
    ignore_next_switch = 0;
}

void release_preload_probes(SwitchRun& run) {
  PlayerState& st = run.st;
  log_raw("[SWITCH] Validation OK - input_selector=%p, preload_ready=%d, preload_selector_pad=%p\n",
          static_cast<void*>(st.input_selector), st.preload_ready.load(), static_cast<void*>(run.new_video_pad));
  PadRef current_active_pad;
  g_object_get(st.input_selector, "active-pad", current_active_pad.out_ptr(), nullptr);
  log_raw("[SWITCH] Current active pad: %p\n", static_cast<void*>(current_active_pad.get()));
  GstPad* new_audio_pad = st.preload_audio_selector_pad.load();
  if (!wait_until_settled(run.new_video_pad, new_audio_pad))
    log_raw("[SWITCH] ⚠️  New file not settled after %d ms (video %s, audio %s) - switching anyway\n",
            static_cast<int>(SETTLE_WAIT_US / 1000), settled(run.new_video_pad) ? "ready" : "pending",
            settled(new_audio_pad) ? "ready" : "pending");
  hold(run.held_video, run.video_hold, run.new_video_pad);
  hold(run.held_audio, run.audio_hold, new_audio_pad);
  log_line("[SWITCH] Removing blocking probes...");
  remove_probe(run.new_video_pad, st.preload_video_probe_id, g_preload_video_probe_id, "Video");
  remove_probe(new_audio_pad, st.preload_audio_probe_id, g_preload_audio_probe_id, "Audio");
  log_line("[SWITCH] Keeping preload elements in PAUSED (will activate AFTER seek)...");
  log_line("[SWITCH] Preload elements activated");
  // A preload that has streamed its whole file through the probes holds its
  // end of stream in the selector: forget it, or the new file would end at once.
  forget_end_of_stream(run.new_video_pad);
  forget_end_of_stream(new_audio_pad);
  drop_unused_audio_elements(st);
}

void flip_video(SwitchRun& run) {
  PlayerState& st = run.st;
  g_object_get(st.input_selector, "active-pad", run.old_video_pad.out_ptr(), nullptr);
  log_raw("[SWITCH] Current VIDEO pad BEFORE switch: %p\n", static_cast<void*>(run.old_video_pad.get()));
  log_raw("[SWITCH] Switching video pad to %p...\n", static_cast<void*>(run.new_video_pad));
  g_object_set(st.input_selector, "active-pad", run.new_video_pad, nullptr);
  log_line("%s", protocol::SWITCH_FLIPPED);
  // Release the old branch's thread from the selector before its elements stop.
  release_held_thread(run.old_video_pad.get());

  // The branch that goes is the one whose picture was on screen; after a video
  // command that is not the one recorded as active.
  GstElement* shown = branch_owner(run.old_video_pad.get());
  if (!shown) shown = active_qtdemux;
  if (shown) run.old_qtdemux_to_stop.reset(GST_ELEMENT(gst_object_ref(shown)));
  if (active_qtdemux && active_qtdemux != shown) run.displaced.reset(GST_ELEMENT(gst_object_ref(active_qtdemux)));
}

void flip_audio(SwitchRun& run) {
  PlayerState& st = run.st;
  if (st.audio_selector && !st.preload_audio_selector_pad.load() && !st.preload_audio_queue) {
    run.silent_pad = request_silent_audio_pad(st.audio_selector);
    st.preload_audio_selector_pad = run.silent_pad ? GST_PAD(gst_object_ref(run.silent_pad)) : nullptr;
  }
  GstPad* new_audio_pad = st.preload_audio_selector_pad.load();
  log_raw("[SWITCH] Audio switch - audio_selector=%p, preload_audio_selector_pad=%p\n",
          static_cast<void*>(st.audio_selector), static_cast<void*>(new_audio_pad));
  if (!st.audio_selector || !new_audio_pad) {
    log_line(st.audio_selector ? "[SWITCH] Audio selector available but no preload audio pad"
                               : "[SWITCH] No audio selector available");
    return;
  }
  g_object_get(st.audio_selector, "active-pad", run.old_audio_pad.out_ptr(), nullptr);
  log_raw("[SWITCH] Current audio pad BEFORE switch: %p\n", static_cast<void*>(run.old_audio_pad.get()));
  // Flipped before the old audio elements stop, so that the old pad is no
  // longer active when its held thread is released: a flush through the
  // active pad would leave the audio sink flushing.
  log_line("[SWITCH] Switching audio pad...");
  g_object_set(st.audio_selector, "active-pad", new_audio_pad, nullptr);
  run.audio_flipped = true;
  log_raw("[SWITCH] Audio switch executed - new pad: %p\n", static_cast<void*>(new_audio_pad));
  release_held_thread(run.old_audio_pad.get());
}

// Whether an output needs the flush below: it holds the old file's end of
// stream, or the pipeline is not steadily playing, so that its sink may hold
// a thread of the old branch until it prerolls. A playing output is left
// alone: the old file's last frame still gets drawn before the seek's flush.
bool output_needs_flush(GstElement* pipeline, GstElement* selector) {
  PadRef src(gst_element_get_static_pad(selector, "src"));
  if (has_sticky(src.get(), GST_EVENT_EOS)) return true;
  GstState state = GST_STATE_NULL, pending = GST_STATE_VOID_PENDING;
  gst_element_get_state(pipeline, &state, &pending, 0);
  return state != GST_STATE_PLAYING || pending != GST_STATE_VOID_PENDING;
}

// Sends a flush down through the new active pads where needed: the output
// forgets the old file's end of stream, and a thread of the old branch that
// the sinks hold (waiting to preroll) returns, so that stopping the old
// branch never waits for it.
void clear_outputs(SwitchRun& run) {
  PlayerState& st = run.st;
  bool video = output_needs_flush(st.pipeline, st.input_selector);
  bool audio = run.audio_flipped && output_needs_flush(st.pipeline, st.audio_selector);
  if (video) flush_selector_pad(run.new_video_pad);
  if (audio) flush_selector_pad(st.preload_audio_selector_pad.load());
  if (video || audio) log_line("[SWITCH] Outputs flushed - the old file no longer holds them");
}

void seek_to_start(SwitchRun& run) {
  PlayerState& st = run.st;
  log_line("[SWITCH] ========================================");
  log_line("[SWITCH] ABOUT TO EXECUTE SEEK - THIS MAY CAUSE not-linked ERROR");
  log_line("[SWITCH] Pipeline state before seek:");
  report_state("[SWITCH] - Pipeline: %s (pending: %s)\n", st.pipeline, 0);
  log_line("%s", protocol::SWITCH_SEEK);
  gboolean seek_ok = gst_element_seek_simple(
      st.pipeline, GST_FORMAT_TIME, static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0);
  mark_switch_on_bus(st);
  log_raw("[SWITCH] Seek executed (result=%d)\n", seek_ok);
  log_line("[SWITCH] ========================================");
  if (run.silent_pad) std::thread(push_silent_stream, run.silent_pad).detach();

  log_line("[SWITCH] POST-SEEK: Checking pipeline state...");
  GstState state, pending;
  GstStateChangeReturn ret = gst_element_get_state(st.pipeline, &state, &pending, 0);
  log_raw("[SWITCH] POST-SEEK: Pipeline=%s, Pending=%s, Return=%s\n", gst_element_state_get_name(state),
          gst_element_state_get_name(pending), state_change_text(ret));
  if (st.preload_filesrc && st.preload_qtdemux) {
    GstState s1, s2;
    gst_element_get_state(st.preload_filesrc, &s1, nullptr, 0);
    gst_element_get_state(st.preload_qtdemux, &s2, nullptr, 0);
    log_raw("[SWITCH] POST-SEEK: preload_filesrc=%s, preload_qtdemux=%s\n", gst_element_state_get_name(s1),
            gst_element_state_get_name(s2));
  }
  if (run.old_qtdemux_to_stop) {
    GstState s;
    gst_element_get_state(run.old_qtdemux_to_stop.get(), &s, nullptr, 0);
    log_raw("[SWITCH] POST-SEEK: old_qtdemux_to_stop=%s (to be cleaned)\n", gst_element_state_get_name(s));
  }
}

// Where the pipeline is going: a paused (or stopped) player stays paused, and
// the new file's first picture prerolls. The switch's flushes leave a playing
// pipeline prerolling again on its way back to PLAYING: its target says so.
GstState pipeline_target(GstElement* pipeline) {
  GST_OBJECT_LOCK(pipeline);
  GstState target = GST_STATE_TARGET(pipeline);
  GST_OBJECT_UNLOCK(pipeline);
  return target;
}

void activate_new_branch(PlayerState& st) {
  GstState target = pipeline_target(st.pipeline) == GST_STATE_PLAYING ? GST_STATE_PLAYING : GST_STATE_PAUSED;
  log_line("[SWITCH] NOW activating preload elements to PLAYING (post-seek)...");
  if (target != GST_STATE_PLAYING) log_line("[SWITCH] Pipeline is paused - the new file stays PAUSED until play");
  struct Activation {
    GstElement* element;
    const char* name;
  } activations[] = {
      {st.preload_filesrc, "preload_filesrc"},
      {st.preload_qtdemux, "preload_qtdemux"},
      {st.preload_queue, "preload_queue"},
      {st.preload_h264parse, "preload_h264parse"},
      {st.preload_audio_queue, "preload_audio_queue"},
      {st.preload_decodebin, "preload_decodebin"},
      {st.preload_audioconvert, "preload_audioconvert"},
      {st.preload_audio_capsfilter.load(), "preload_audio_capsfilter"},
  };
  for (const auto& a : activations) {
    if (!a.element) continue;
    gst_element_set_state(a.element, target);
    log_line("[SWITCH] %s → %s", a.name, gst_element_state_get_name(target));
  }
  log_line("[SWITCH] ✅ All preload elements activated to PLAYING");
  g_usleep(100000);
}

// The preload becomes the branch on screen. The pad fields' references end here.
void adopt_preload(PlayerState& st) {
  std::lock_guard<std::mutex> lock(preload_lock());
  if (active_qtdemux) gst_object_unref(active_qtdemux);
  active_qtdemux = GST_ELEMENT(gst_object_ref(st.preload_qtdemux));
  if (st.preload_audio_selector_pad.load()) active_audio_selector_pad_owner = st.preload_qtdemux;
  if (st.filesrc) gst_object_unref(st.filesrc);
  st.filesrc = GST_ELEMENT(gst_object_ref(st.preload_filesrc));
  st.preload_filesrc = st.preload_qtdemux = st.preload_queue = st.preload_h264parse = nullptr;
  log_line("[SWITCH] Clearing video pad references (no unref)...");
  drop_pad_ref(st.preload_selector_pad);
  log_line("[SWITCH] Clearing audio variables (no unref)...");
  st.preload_audio_queue = st.preload_decodebin = st.preload_audioconvert = nullptr;
  st.preload_audio_capsfilter = nullptr;
  drop_pad_ref(st.preload_audio_selector_pad);
  log_line("[SWITCH] Freeing preload_video_path...");
  g_free(st.preload_video_path);
  st.preload_video_path = nullptr;
  st.preload_ready = 0;
  st.preload_checked = 0;
  st.preload_branch_id = 0;
  PreloadProgress& p = preload_progress();
  p = PreloadProgress{p.generation + 1};
}

void reconfigure_sink(PlayerState& st) {
  log_raw("[SWITCH] Reconfiguring glimagesink - glimagesink_element=%p...\n",
          static_cast<void*>(st.glimagesink_element));
  if (!st.glimagesink_element) return;
  log_line("[SWITCH] Setting force-aspect-ratio to TRUE...");
  g_object_set(st.glimagesink_element, "force-aspect-ratio", TRUE, nullptr);
  log_line("[SWITCH] Sending reconfigure event...");
  gst_element_send_event(st.glimagesink_element, gst_event_new_reconfigure());
  g_usleep(50000);
  log_line("[SWITCH] Glimagesink reconfigured");
}

// Before a switch turns: the file on screen is about to change.
void enter_switch(PlayerState& st) {
  disarm_switch_at_end();
  cancel_scheduled_restart();
  // A video command's file that showed is an ordinary branch now.
  if (!st.video_switching_in_progress) forget_video_branch(st);
  switch_in_progress = 1;
}

// Once it has: the new branch plays on, the old one goes to the clean-up.
void leave_switch(PlayerState& st, SwitchRun& run) {
  activate_new_branch(st);
  schedule_old_branch_cleanup(run);
  adopt_preload(st);
  log_line("[SWITCH] Variables updated successfully");
}

}  // namespace

bool switch_refused(PlayerState& st) { return rejected(st); }

void complete_handed_over_switch(PlayerState& st, GstPad* old_video_pad, GstPad* old_audio_pad) {
  std::lock_guard<std::mutex> lock(operation_lock);
  log_line("%s", protocol::SWITCH_RECEIVED);
  enter_switch(st);
  SwitchRun run(st);
  run.new_video_pad = st.preload_selector_pad.load();
  if (old_video_pad) run.old_video_pad.reset(GST_PAD(gst_object_ref(old_video_pad)));
  log_line("%s", protocol::SWITCH_FLIPPED);
  GstElement* shown = branch_owner(old_video_pad);
  if (!shown) shown = active_qtdemux;
  if (shown) run.old_qtdemux_to_stop.reset(GST_ELEMENT(gst_object_ref(shown)));
  if (old_audio_pad) {
    run.old_audio_pad.reset(GST_PAD(gst_object_ref(old_audio_pad)));
    run.audio_flipped = true;
  }
  // The old branch has ended upstream of its selectors, but its end of stream
  // may still be on its way: the selector holds it at the pad no longer
  // active, with the queue's thread, which the stop below would wait for.
  release_inactive_thread(st.input_selector, run.old_video_pad.get());
  release_inactive_thread(st.audio_selector, run.old_audio_pad.get());
  stop_old_audio(run);
  stop_old_video_branch(run);
  log_line("%s", protocol::SWITCH_SEEK);
  log_line("[SWITCH] The new file follows the old one's last frame on the clock - no seek needed");
  mark_switch_on_bus(st);
  leave_switch(st, run);
  log_line("%s", protocol::SWITCH_DONE);
  switch_in_progress = 0;
}

void handle_switch_command(PlayerState& st) {
  // The switch armed for the end is under way: it is this switch.
  if (handover_begun()) {
    finish_handover_now(st);
    return;
  }
  // On a wall's shared base time a flush leaves the running time alone, and
  // a seek to the new file's start would put it in the past: the switch is
  // placed on the clock instead, a moment from now.
  if (st.pipeline && gst_element_get_start_time(st.pipeline) == GST_CLOCK_TIME_NONE) {
    if (switch_refused(st)) return;
    if (place_switch_now(st)) return;
    log_line("[SWITCH] The preload cannot be placed on the shared clock - switching with a seek");
  }
  std::lock_guard<std::mutex> lock(operation_lock);
  log_line("%s", protocol::SWITCH_RECEIVED);
  if (rejected(st)) return;
  enter_switch(st);
  SwitchRun run(st);
  run.new_video_pad = st.preload_selector_pad.load();
  release_preload_probes(run);
  flip_video(run);
  flip_audio(run);
  clear_outputs(run);
  stop_old_audio(run);
  stop_old_video_branch(run);
  remove_displaced_branch(run);
  seek_to_start(run);
  run.release_holds();
  leave_switch(st, run);
  reconfigure_sink(st);
  log_line("%s", protocol::SWITCH_DONE);
  switch_in_progress = 0;
}
