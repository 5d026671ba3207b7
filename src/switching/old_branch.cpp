// Stopping and releasing the branch a switch takes off the screen.
#include "switching/switch_run.h"

#include "core/log.h"
#include "switching/cleanup.h"
#include "switching/video_command.h"

namespace {

constexpr GstClockTime STATE_WAIT = GST_SECOND;

void unlink_demux_pad(GstElement* demuxer, const char* pad_name, const char* line) {
  PadRef pad(gst_element_get_static_pad(demuxer, pad_name));
  if (!pad) return;
  PadRef peer(gst_pad_get_peer(pad.get()));
  if (!peer) return;
  log_line("%s", line);
  gst_pad_unlink(pad.get(), peer.get());
}

}  // namespace

void report_state(const char* format, GstElement* e, GstClockTime timeout) {
  GstState current, pending;
  gst_element_get_state(e, &current, &pending, timeout);
  log_raw(format, gst_element_state_get_name(current), gst_element_state_get_name(pending));
}

void stop_old_audio(SwitchRun& run) {
  PlayerState& st = run.st;
  if (!run.audio_flipped || !active_qtdemux) return;
  BranchParts old = branch_of(active_qtdemux);
  auto take = [](ElementRef& ref, GstElement* e) { ref.reset(e ? GST_ELEMENT(gst_object_ref(e)) : nullptr); };
  take(run.old_audio_source, old.audio_source);
  take(run.old_audio_queue, old.audio_queue);
  take(run.old_decodebin, old.decodebin);
  take(run.old_audioconvert, old.audioconvert);
  take(run.old_audio_capsfilter, old.audio_capsfilter);
  log_line("[SWITCH] Stopping OLD audio elements...");
  // A file without sound: its silence goes first, and with the switch (the clean-up knows only the rest).
  if (run.old_audio_source) {
    gst_element_set_state(run.old_audio_source.get(), GST_STATE_NULL);
    gst_bin_remove(GST_BIN(st.pipeline), run.old_audio_source.get());
  }
  for (auto* e : {&run.old_audio_queue, &run.old_decodebin, &run.old_audioconvert, &run.old_audio_capsfilter})
    if (*e) gst_element_set_state(e->get(), GST_STATE_NULL);
  log_line("[SWITCH] OLD audio elements set to NULL - waiting for state change...");
  if (run.old_audio_queue)
    report_state("[SWITCH] old_audio_queue state: %s (pending: %s)\n", run.old_audio_queue.get(), STATE_WAIT);
  if (run.old_decodebin)
    report_state("[SWITCH] old_decodebin state: %s (pending: %s)\n", run.old_decodebin.get(), STATE_WAIT);
  if (run.old_audioconvert)
    report_state("[SWITCH] old_audioconvert state: %s (pending: %s)\n", run.old_audioconvert.get(), STATE_WAIT);
  log_line("[SWITCH] ✅ OLD audio elements fully stopped");
  log_line("[SWITCH] 🗑️  REMOVING old audio elements from pipeline...");
  // The caps filter goes with them, or every switch would leave one behind.
  for (auto* e : {&run.old_audio_queue, &run.old_decodebin, &run.old_audioconvert, &run.old_audio_capsfilter})
    if (*e) gst_bin_remove(GST_BIN(st.pipeline), e->get());
  log_line("[SWITCH] ✅ Old audio elements REMOVED from pipeline");
}

void stop_old_video_branch(SwitchRun& run) {
  PlayerState& st = run.st;
  log_raw("[SWITCH] 💾 Saved OLD qtdemux reference: %p (will be stopped)\n",
          static_cast<void*>(run.old_qtdemux_to_stop.get()));
  if (!run.old_qtdemux_to_stop) return;
  GstElement* demux = run.old_qtdemux_to_stop.get();
  log_line("[SWITCH] Stopping ALL OLD video elements (filesrc, qtdemux, queue, h264parse)...");
  BranchParts old = branch_of(demux);
  auto take = [](ElementRef& ref, GstElement* e) { ref.reset(e ? GST_ELEMENT(gst_object_ref(e)) : nullptr); };
  take(run.old_filesrc, old.filesrc);
  take(run.old_queue, old.queue);
  take(run.old_h264parse, old.h264parse);
  log_line("[SWITCH] Unlinking OLD qtdemux from downstream elements...");
  unlink_demux_pad(demux, "video_0", "[SWITCH] Unlinking demux video_0 → queue...");
  if (!st.no_sound) unlink_demux_pad(demux, "audio_0", "[SWITCH] Unlinking demux audio_0 → audio_queue...");
  log_line("[SWITCH] ✅ Demux unlinked - now setting elements to NULL...");
  GstElement* olds[] = {run.old_filesrc.get(), demux, run.old_queue.get(), run.old_h264parse.get()};
  for (GstElement* e : olds)
    if (e) gst_element_set_state(e, GST_STATE_NULL);
  log_line("[SWITCH] OLD video elements set to NULL - waiting for state change...");
  log_line("[SWITCH] 🗑️  REMOVING old elements from pipeline to stop internal threads...");
  for (GstElement* e : olds)
    if (e) gst_bin_remove(GST_BIN(st.pipeline), e);
  log_line("[SWITCH] ✅ Old video elements REMOVED from pipeline");
  log_line("[SWITCH] Checking final state after removal...");
  const char* formats[] = {"[SWITCH] old_filesrc state: %s (pending: %s)\n",
                           "[SWITCH] old_qtdemux_to_stop state: %s (pending: %s)\n",
                           "[SWITCH] old_queue state: %s (pending: %s)\n",
                           "[SWITCH] old_h264parse state: %s (pending: %s)\n"};
  for (int i = 0; i < 4; ++i)
    if (olds[i]) report_state(formats[i], olds[i], STATE_WAIT);
  log_line("[SWITCH] ✅ ALL OLD elements (video + audio) fully stopped");
}

// The branch the video command put aside still runs behind an inactive pad:
// nothing of it is on screen any more, so it goes at once.
void remove_displaced_branch(SwitchRun& run) {
  if (!run.displaced) return;
  PlayerState& st = run.st;
  GstElement* demux = run.displaced.get();
  log_line("[SWITCH] Removing the branch the video command had replaced");
  BranchParts b = branch_of(demux);
  if (b.h264parse) {
    PadRef src(gst_element_get_static_pad(b.h264parse, "src"));
    b.video_pad = src ? gst_pad_get_peer(src.get()) : nullptr;
  }
  if (active_audio_selector_pad_owner == demux) {
    b.audio_pad = run.old_audio_pad.release();
    active_audio_selector_pad_owner = nullptr;
  }
  // Its queue's thread waits inside the selector on the inactive pad: let it go
  // before the queue is stopped, or the stop would wait for it for ever.
  release_held_thread(b.video_pad);
  g_signal_handlers_disconnect_matched(demux, static_cast<GSignalMatchType>(G_SIGNAL_MATCH_FUNC | G_SIGNAL_MATCH_DATA),
                                       0, 0, nullptr, reinterpret_cast<gpointer>(on_pad_added), nullptr);
  branch_stop_and_remove(st.pipeline, b);
  branch_release_pads(st, b);
}

void schedule_old_branch_cleanup(SwitchRun& run) {
  PlayerState& st = run.st;
  log_line("[SWITCH] Updating control variables...");
  if (!run.old_qtdemux_to_stop) return;
  log_raw("[SWITCH] Scheduling async cleanup for old video source (qtdemux=%p)...\n",
          static_cast<void*>(run.old_qtdemux_to_stop.get()));
  if (guint cancelled = cancel_pending_cleanup())
    log_raw("[SWITCH] Cancelled previous cleanup (ID: %u) to prevent thread leak\n", cancelled);
  auto* d = g_new0(CleanupData, 1);
  d->pipeline = st.pipeline;
  d->old_qtdemux = run.old_qtdemux_to_stop.release();
  d->old_filesrc = run.old_filesrc.release();
  d->old_queue = run.old_queue.release();
  d->old_h264parse = run.old_h264parse.release();
  d->video_selector = st.input_selector;
  d->old_video_pad = run.old_video_pad.release();
  log_raw("[SWITCH] Saved OLD video pad for cleanup: %p\n", static_cast<void*>(d->old_video_pad));
  if (active_audio_selector_pad_owner && active_audio_selector_pad_owner == d->old_qtdemux) {
    d->has_audio = 1;
    d->old_audio_queue = run.old_audio_queue.release();
    d->old_decodebin = run.old_decodebin.release();
    d->old_audioconvert = run.old_audioconvert.release();
    d->old_audio_capsfilter = run.old_audio_capsfilter.release();
    d->audio_selector = st.audio_selector;
    d->old_audio_pad = run.old_audio_pad.release();
    log_raw("[SWITCH] Saved OLD audio pad for cleanup: %p\n", static_cast<void*>(d->old_audio_pad));
  }
  guint id = schedule_cleanup(d);
  log_raw("[SWITCH] Async cleanup scheduled (ID: %u, will execute in 2s)\n", id);
}
