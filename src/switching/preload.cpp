// The preload command: builds the next file's branch inside the running
// pipeline, held back from the screen until the switch.
#include "switching/preload.h"

#include <unistd.h>

#include "core/gst_holders.h"
#include "core/log.h"
#include "messaging/ack_delivery.h"
#include "switching/branch.h"

namespace {

GstElement* make(const char* factory, const char* name = nullptr) { return gst_element_factory_make(factory, name); }

void discard_unparented(std::initializer_list<GstElement*> elements) {
  for (GstElement* e : elements)
    if (e) gst_object_unref(gst_object_ref_sink(e));
}

void set_state(GstElement* e, GstState state) {
  if (e) gst_element_set_state(e, state);
}

void remove_from(GstElement* pipeline, GstElement* e) {
  if (!e) return;
  gst_element_set_state(e, GST_STATE_NULL);
  gst_bin_remove(GST_BIN(pipeline), e);
}

// The fields of a branch that is being taken apart, detached from the state
// under the lock so that its pad handlers see it is no longer current.
struct DetachedPreload {
  GstElement *filesrc, *qtdemux, *queue, *h264parse, *audio_queue, *decodebin, *audioconvert, *audio_capsfilter;
  GstPad *selector_pad, *audio_selector_pad;
};

DetachedPreload detach_preload(PlayerState& st) {
  std::lock_guard<std::mutex> lock(preload_lock());
  DetachedPreload d{st.preload_filesrc,
                    st.preload_qtdemux,
                    st.preload_queue,
                    st.preload_h264parse,
                    st.preload_audio_queue,
                    st.preload_decodebin,
                    st.preload_audioconvert,
                    st.preload_audio_capsfilter.exchange(nullptr),
                    st.preload_selector_pad.exchange(nullptr),
                    st.preload_audio_selector_pad.exchange(nullptr)};
  st.preload_filesrc = st.preload_qtdemux = st.preload_queue = st.preload_h264parse = nullptr;
  st.preload_audio_queue = st.preload_decodebin = st.preload_audioconvert = nullptr;
  st.preload_ready = 0;
  return d;
}

void release_selector_pad(GstElement* selector, GstPad* pad) {
  if (!pad) return;
  if (selector) {
    PadRef peer(gst_pad_get_peer(pad));
    if (peer) gst_pad_unlink(peer.get(), pad);
    gst_element_release_request_pad(selector, pad);
  }
  gst_object_unref(pad);
}

void replace_earlier_preload(PlayerState& st) {
  PadRef current_active_pad;
  g_object_get(st.input_selector, "active-pad", current_active_pad.out_ptr(), nullptr);
  DetachedPreload d = detach_preload(st);
  g_free(st.preload_video_path);
  st.preload_video_path = nullptr;

  if (d.selector_pad && d.selector_pad == current_active_pad.get()) {
    // That branch is the one on screen: only forget it.
    gst_object_unref(d.selector_pad);
    if (d.audio_selector_pad) gst_object_unref(d.audio_selector_pad);
    return;
  }

  set_state(d.filesrc, GST_STATE_READY);
  set_state(d.qtdemux, GST_STATE_READY);
  g_usleep(100000);
  set_state(d.queue, GST_STATE_NULL);
  set_state(d.h264parse, GST_STATE_NULL);
  g_usleep(100000);
  release_selector_pad(st.input_selector, d.selector_pad);
  set_state(d.filesrc, GST_STATE_NULL);
  set_state(d.qtdemux, GST_STATE_NULL);
  g_usleep(50000);
  for (GstElement* e : {d.queue, d.h264parse, d.filesrc, d.qtdemux})
    if (e) gst_bin_remove(GST_BIN(st.pipeline), e);
  for (GstElement* e : {d.audio_queue, d.decodebin, d.audioconvert, d.audio_capsfilter}) remove_from(st.pipeline, e);
  release_selector_pad(st.audio_selector, d.audio_selector_pad);
  if (current_active_pad) g_object_set(st.input_selector, "active-pad", current_active_pad.get(), nullptr);
}

void build_audio_chain(PlayerState& st, GstElement* qtdemux) {
  log_line("DEBUG: Creating AUDIO elements for preload...");
  GstElement* audio_queue = make("queue", numbered("preload_audio_queue", st.element_counter).c_str());
  GstElement* decodebin = make("decodebin", numbered("preload_decodebin", st.element_counter).c_str());
  GstElement* audioconvert = make("audioconvert", numbered("preload_audioconvert", st.element_counter).c_str());
  if (!audio_queue || !decodebin || !audioconvert) {
    log_line("ERROR: Failed to create audio elements");
    discard_unparented({audio_queue, decodebin, audioconvert});
    return;
  }
  set_queue_limits(audio_queue);
  // Kept at NULL, even when the pipeline changes state, until the file shows
  // an audio stream: a decodebin without input would never finish prerolling
  // and would hold the whole pipeline back.
  for (GstElement* e : {audio_queue, decodebin, audioconvert}) gst_element_set_locked_state(e, TRUE);
  gst_bin_add_many(GST_BIN(st.pipeline), audio_queue, decodebin, audioconvert, nullptr);
  {
    std::lock_guard<std::mutex> lock(preload_lock());
    st.preload_audio_queue = audio_queue;
    st.preload_decodebin = decodebin;
    st.preload_audioconvert = audioconvert;
  }
  GObject* d = G_OBJECT(qtdemux);
  g_object_set_data(d, branch_key::AUDIO_QUEUE, audio_queue);
  g_object_set_data(d, branch_key::DECODEBIN, decodebin);
  g_object_set_data(d, branch_key::AUDIOCONVERT, audioconvert);
  g_object_set_data(d, branch_key::AUDIO_SELECTOR, st.audio_selector);
  g_object_set_data(d, branch_key::PRELOAD_AUDIO_PAD, &st.preload_audio_selector_pad);
  g_object_set_data(d, branch_key::PRELOAD_AUDIO_CAPSFILTER, &st.preload_audio_capsfilter);
  log_line("DEBUG: Audio elements created and added to pipeline");
}

}  // namespace

CommandOutcome handle_preload_command(PlayerState& st, const char* path) {
  if (!path || !*path || !st.input_selector) {
    log_line("ERROR: preload command requires path and input-selector");
    return CommandOutcome::Processed;
  }
  if (st.preload_ready && st.preload_filesrc) {
    log_line("[PRELOAD] ⛔ REJECTED - Already have preloaded video. Switch first.");
    send_with_ack("Preload error", "ack_preload_error");
    return CommandOutcome::Rejected;
  }
  if (cleanup_in_progress) {
    log_line("[PRELOAD] ⛔ REJECTED - Cleanup in progress, wait...");
    send_with_ack("Preload error", "ack_preload_error");
    return CommandOutcome::Rejected;
  }
  if (access(path, F_OK) != 0) {
    log_raw("ERROR: Preload file does not exist: %s\n", path);
    return CommandOutcome::Rejected;
  }
  if (st.preload_filesrc) replace_earlier_preload(st);

  GStr src_name(g_strdup_printf("preload_filesrc%d", st.element_counter));
  GStr demux_name(g_strdup_printf("preload_demux%d", st.element_counter));
  GstElement* filesrc = make("filesrc", src_name.get());
  GstElement* qtdemux = make("qtdemux", demux_name.get());
  GstElement* queue = make("queue", numbered("preload_queue", st.element_counter).c_str());
  GstElement* h264parse = make("h264parse", numbered("preload_h264parse", st.element_counter).c_str());
  if (!filesrc || !qtdemux || !queue || !h264parse) {
    log_line("ERROR: Failed to create preload elements");
    discard_unparented({filesrc, qtdemux, queue, h264parse});
    return CommandOutcome::Rejected;
  }
  set_queue_limits(queue);
  g_object_set(filesrc, "location", path, nullptr);
  st.preload_video_path = g_strdup(path);
  set_preload_file_path(path);

  gst_bin_add_many(GST_BIN(st.pipeline), filesrc, qtdemux, queue, h264parse, nullptr);
  {
    std::lock_guard<std::mutex> lock(preload_lock());
    st.preload_filesrc = filesrc;
    st.preload_qtdemux = qtdemux;
    st.preload_queue = queue;
    st.preload_h264parse = h264parse;
  }
  if (!gst_element_link(filesrc, qtdemux)) {
    log_line("ERROR: Failed to link preload elements");
    return CommandOutcome::Rejected;
  }
  GObject* d = G_OBJECT(qtdemux);
  g_object_set_data(d, branch_key::QUEUE, queue);
  g_object_set_data(d, branch_key::H264PARSE, h264parse);
  g_object_set_data(d, branch_key::SELECTOR, st.input_selector);
  g_object_set_data(d, branch_key::IS_PRELOAD, GINT_TO_POINTER(1));
  g_object_set_data(d, branch_key::FILESRC, filesrc);
  if (!st.no_sound && st.audio_selector) build_audio_chain(st, qtdemux);
  g_signal_connect(qtdemux, "pad-added", G_CALLBACK(on_pad_added), nullptr);

  for (GstElement* e : {filesrc, qtdemux, queue, h264parse}) gst_element_set_state(e, GST_STATE_PAUSED);
  st.element_counter++;
  return CommandOutcome::Processed;
}
