// Completing a branch as its demuxer and its decodebin expose their pads.
#include <cstring>

#include "core/gst_holders.h"
#include "core/log.h"
#include "core/pipeline_setup.h"
#include "core/silent_audio.h"
#include "core/video_decoder.h"
#include "messaging/ack_delivery.h"
#include "protocol/protocol.h"
#include "switching/branch.h"

namespace {

// The selector answers caps queries on its sink pads from downstream, which
// refuses everything once the decoder has negotiated: link without caps checks;
// the stream negotiates when its pad becomes active.
bool link_into_selector(GstPad* src, GstPad* selector_pad) {
  return GST_PAD_LINK_SUCCESSFUL(gst_pad_link_full(src, selector_pad, GST_PAD_LINK_CHECK_HIERARCHY));
}

void free_audio_context(gpointer data, GClosure*) { g_free(data); }

// A branch loaded into a running pipeline starts its timestamps at 0 while the
// pipeline's running time is well past that: shift it to now, or the sink
// would find every frame late and show none of them.
void align_with_running_time(GstPad* selector_pad) {
  GstElement* pipeline = global_pipeline.load();
  if (!pipeline) return;
  GstState state = GST_STATE_NULL;
  gst_element_get_state(pipeline, &state, nullptr, 0);
  GstClockTime running = GST_CLOCK_TIME_NONE;
  if (state == GST_STATE_PLAYING) {
    if (GstClock* clock = gst_element_get_clock(pipeline)) {
      GstClockTime now = gst_clock_get_time(clock);
      GstClockTime base = gst_element_get_base_time(pipeline);
      if (now > base) running = now - base;
      gst_object_unref(clock);
    }
  } else {
    running = gst_element_get_start_time(pipeline);
  }
  if (GST_CLOCK_TIME_IS_VALID(running) && running > 0) gst_pad_set_offset(selector_pad, static_cast<gint64>(running));
}

// An output still at the end of the file shown before takes nothing new: a
// new file's first push into it fails with an error. Cleared through the pad
// still active, whose branch has ended and pushes nothing more.
void clear_ended_output(GstElement* selector) {
  PadRef src(gst_element_get_static_pad(selector, "src"));
  GstEvent* eos = src ? gst_pad_get_sticky_event(src.get(), GST_EVENT_EOS, 0) : nullptr;
  if (!eos) return;
  gst_event_unref(eos);
  PadRef active;
  g_object_get(selector, "active-pad", active.out_ptr(), nullptr);
  flush_selector_pad(active.get());
}

bool is_current_preload(GstElement* demuxer) { return player_state().preload_qtdemux == demuxer; }

// The branch carries H.264 into the board's decoder and nothing else: any
// other video would fail in the decoder once the branch is on screen.
bool carries_h264(GstPad* pad, std::string& caps_text) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (!caps) caps = gst_pad_query_caps(pad, nullptr);
  if (!caps) return true;
  bool ok = gst_caps_get_size(caps) > 0 &&
            gst_structure_has_name(gst_caps_get_structure(caps, 0), "video/x-h264");
  if (!ok && gst_caps_get_size(caps) > 0) caps_text = gst_structure_get_name(gst_caps_get_structure(caps, 0));
  gst_caps_unref(caps);
  return ok;
}

void link_video_pad(GstElement* demuxer, GstPad* pad) {
  GstElement* queue = object_element(demuxer, branch_key::QUEUE);
  GstElement* parser = object_element(demuxer, branch_key::H264PARSE);
  GstElement* selector = object_element(demuxer, branch_key::SELECTOR);
  int is_preload = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(demuxer), branch_key::IS_PRELOAD));
  if (!queue || !parser || !selector) return;
  std::string caps_text;
  if (!carries_h264(pad, caps_text)) {
    post_branch_failure(demuxer, "video is " + caps_text + ", not H.264");
    return;
  }
  // Refused here rather than shown broken: a hardware decoder fails, or
  // shows garbage, on what its caps do not take.
  GstCaps* stream_caps = gst_pad_get_current_caps(pad);
  std::string refusal = decoder_refusal(stream_caps);
  if (stream_caps) gst_caps_unref(stream_caps);
  if (!refusal.empty()) {
    post_branch_failure(demuxer, refusal);
    return;
  }

  if (!gst_element_link(queue, parser)) {
    log_line("ERROR: Failed to link queue to h264parse");
    return;
  }
  PadRef queue_sink(gst_element_get_static_pad(queue, "sink"));
  if (!queue_sink) {
    log_line("ERROR: Failed to get sink pad from queue");
    return;
  }
  if (GST_PAD_LINK_FAILED(gst_pad_link(pad, queue_sink.get()))) log_line("ERROR: Failed to link qtdemux pad to queue");
  queue_sink.reset();

  std::unique_lock<std::mutex> lock(preload_lock());
  if (is_preload && !is_current_preload(demuxer)) {
    log_line("[PRELOAD] Branch was replaced before its video pad was linked - ignoring it");
    return;
  }
  // A video command's branch that failed meanwhile is being taken away.
  if (!is_preload && branch_id_of(GST_OBJECT(demuxer)) != player_state().video_branch_id.load()) return;
  PadRef selector_pad(gst_element_request_pad_simple(selector, "sink_%u"));
  PadRef parser_src(gst_element_get_static_pad(parser, "src"));
  if (!selector_pad || !parser_src || !link_into_selector(parser_src.get(), selector_pad.get())) {
    log_line("ERROR: Failed to link h264parse to input-selector");
    return;
  }
  if (!is_preload) {
    align_with_running_time(selector_pad.get());
    clear_ended_output(selector);
    g_object_set(selector, "active-pad", selector_pad.get(), nullptr);
    if (g_video_switching_in_progress) *g_video_switching_in_progress = 0;
    return;
  }

  PadRef previous_active_pad;
  g_object_get(selector, "active-pad", previous_active_pad.out_ptr(), nullptr);
  if (g_preload_selector_pad) g_preload_selector_pad->store(GST_PAD(gst_object_ref(selector_pad.get())));
  log_raw("[PROBE DEBUG] Video probe check: g_preload_video_probe_id=%p | is_preload=%d\n",
          static_cast<void*>(g_preload_video_probe_id), is_preload);
  if (g_preload_video_probe_id) {
    gulong id = gst_pad_add_probe(selector_pad.get(), GST_PAD_PROBE_TYPE_BUFFER, preload_blocking_probe, nullptr,
                                  nullptr);
    g_preload_video_probe_id->store(id);
    log_raw("%s: ID=%lu | pad=%p | global_ptr=%p\n", protocol::VIDEO_PAD_LINKED, id,
            static_cast<void*>(selector_pad.get()), static_cast<void*>(g_preload_video_probe_id));
  } else {
    log_line("[PROBE DEBUG] ⚠️  Video probe NOT added: g_preload_video_probe_id is NULL!");
  }
  lock.unlock();

  g_usleep(100000);
  // Only undo a change this pad made: a video command may have shown its
  // own file meanwhile, and that choice stands.
  PadRef now_active;
  g_object_get(selector, "active-pad", now_active.out_ptr(), nullptr);
  if (previous_active_pad && now_active.get() == selector_pad.get())
    g_object_set(selector, "active-pad", previous_active_pad.get(), nullptr);

  lock.lock();
  if (!is_current_preload(demuxer)) {
    log_line("[PRELOAD] Branch was replaced while its video pad was being linked - ignoring it");
    return;
  }
  preload_note_video_linked(player_state(), demuxer, lock);
}

void link_audio_pad(GstElement* demuxer, GstPad* pad, const char* name) {
  log_raw("DEBUG: Audio pad detected: %s\n", name);
  GstElement* audio_queue = object_element(demuxer, branch_key::AUDIO_QUEUE);
  GstElement* decodebin = object_element(demuxer, branch_key::DECODEBIN);
  GstElement* audioconvert = object_element(demuxer, branch_key::AUDIOCONVERT);
  GstElement* audio_selector = object_element(demuxer, branch_key::AUDIO_SELECTOR);
  if (!audio_queue || !decodebin || !audioconvert || !audio_selector) {
    log_line("DEBUG: Audio elements not available (probably --no_sound or initial video)");
    return;
  }
  log_line("DEBUG: Connecting audio chain...");
  PadRef queue_sink(gst_element_get_static_pad(audio_queue, "sink"));
  if (!queue_sink || GST_PAD_LINK_FAILED(gst_pad_link(pad, queue_sink.get()))) {
    log_line("ERROR: Failed to link qtdemux->audio_queue");
    return;
  }
  log_line("DEBUG: qtdemux->audio_queue linked");
  if (!gst_element_link(audio_queue, decodebin)) {
    log_line("ERROR: Failed to link audio_queue->decodebin");
    return;
  }
  log_line("DEBUG: audio_queue->decodebin linked");

  auto* ctx = g_new0(AudioLinkContext, 1);
  ctx->audioconvert = audioconvert;
  ctx->audio_selector = audio_selector;
  ctx->is_preload = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(demuxer), branch_key::IS_PRELOAD));
  ctx->audio_pad_out = static_cast<std::atomic<GstPad*>*>(g_object_get_data(G_OBJECT(demuxer), branch_key::PRELOAD_AUDIO_PAD));
  ctx->capsfilter_out =
      static_cast<std::atomic<GstElement*>*>(g_object_get_data(G_OBJECT(demuxer), branch_key::PRELOAD_AUDIO_CAPSFILTER));
  ctx->demuxer = demuxer;
  g_signal_connect_data(decodebin, "pad-added", G_CALLBACK(on_decodebin_pad_added), ctx, free_audio_context,
                        static_cast<GConnectFlags>(0));

  // The preload keeps these at NULL until its file turns out to have sound;
  // a preload dropped meanwhile keeps them there.
  {
    std::lock_guard<std::mutex> lock(preload_lock());
    if (ctx->is_preload && !is_current_preload(demuxer)) return;
    for (GstElement* e : {audio_queue, decodebin, audioconvert}) {
      gst_element_set_locked_state(e, FALSE);
      gst_element_sync_state_with_parent(e);
    }
  }
  log_line("DEBUG: Audio chain connected successfully");
}

}  // namespace

void on_pad_added(GstElement* demuxer, GstPad* pad, gpointer) {
  GStr name(gst_object_get_name(GST_OBJECT(pad)));
  if (!name) return;
  if (g_str_has_prefix(name.get(), "video_")) {
    link_video_pad(demuxer, pad);
  } else if (g_str_has_prefix(name.get(), "audio_")) {
    link_audio_pad(demuxer, pad, name.get());
  } else {
    discard_stream(pad);  // an unlinked subtitle stream would stop the demuxer
  }
}

void on_decodebin_pad_added(GstElement*, GstPad* pad, gpointer user_data) {
  auto* ctx = static_cast<AudioLinkContext*>(user_data);
  GstCaps* caps = gst_pad_query_caps(pad, nullptr);
  if (!caps) return;
  bool is_audio = gst_caps_get_size(caps) > 0 &&
                  g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "audio/");
  gst_caps_unref(caps);
  if (!is_audio) return;

  std::unique_lock<std::mutex> lock(preload_lock());
  if (ctx->is_preload && !is_current_preload(ctx->demuxer)) return;  // replaced meanwhile

  PadRef convert_sink(gst_element_get_static_pad(ctx->audioconvert, "sink"));
  if (!convert_sink || GST_PAD_LINK_FAILED(gst_pad_link(pad, convert_sink.get()))) return;
  log_line("DEBUG: decodebin->audioconvert linked");

  GstElement* capsfilter = gst_element_factory_make("capsfilter", nullptr);
  if (!capsfilter) return;
  GstCaps* stereo = gst_caps_from_string(STEREO_CAPS);
  g_object_set(capsfilter, "caps", stereo, nullptr);
  gst_caps_unref(stereo);
  GstObject* parent = gst_object_get_parent(GST_OBJECT(ctx->audioconvert));
  if (!parent) {
    gst_object_unref(gst_object_ref_sink(capsfilter));
    return;
  }
  tag_branch_element(capsfilter, branch_id_of(GST_OBJECT(ctx->demuxer)));
  gst_bin_add(GST_BIN(parent), capsfilter);
  gst_element_sync_state_with_parent(capsfilter);
  gst_object_unref(parent);

  if (ctx->capsfilter_out && ctx->is_preload) ctx->capsfilter_out->store(capsfilter);
  if (ctx->demuxer) g_object_set_data(G_OBJECT(ctx->demuxer), branch_key::AUDIO_CAPSFILTER, capsfilter);
  if (!gst_element_link(ctx->audioconvert, capsfilter)) return;

  PadRef selector_pad(gst_element_request_pad_simple(ctx->audio_selector, "sink_%u"));
  PadRef filter_src(gst_element_get_static_pad(capsfilter, "src"));
  if (!selector_pad || !filter_src || !link_into_selector(filter_src.get(), selector_pad.get())) return;
  log_line("DEBUG: audioconvert->capsfilter(stereo)->audio_selector linked");

  if (!ctx->is_preload) {
    g_object_set(ctx->audio_selector, "active-pad", selector_pad.get(), nullptr);
    log_line("DEBUG: Audio pad activated immediately (initial video)");
    return;
  }
  if (!ctx->audio_pad_out) return;
  ctx->audio_pad_out->store(GST_PAD(gst_object_ref(selector_pad.get())));
  log_raw("[PROBE DEBUG] Audio probe check: g_preload_audio_probe_id=%p | is_preload=%d\n",
          static_cast<void*>(g_preload_audio_probe_id), ctx->is_preload);
  if (g_preload_audio_probe_id) {
    gulong id =
        gst_pad_add_probe(selector_pad.get(), GST_PAD_PROBE_TYPE_BUFFER, preload_blocking_probe, nullptr, nullptr);
    g_preload_audio_probe_id->store(id);
    log_raw("%s: ID=%lu | pad=%p | global_ptr=%p\n", protocol::AUDIO_PAD_LINKED, id,
            static_cast<void*>(selector_pad.get()), static_cast<void*>(g_preload_audio_probe_id));
  } else {
    log_line("[PROBE DEBUG] ⚠️  Audio probe NOT added: g_preload_audio_probe_id is NULL!");
  }
  log_raw("DEBUG: Preload audio pad saved: %p\n", static_cast<void*>(selector_pad.get()));
  preload_note_audio(player_state(), ctx->demuxer, true, lock);
}

namespace {

// A file without sound is given silence as long as itself, through the
// branch's own audio chain: it then switches as a file with sound does.
bool link_silence(GstElement* demuxer, GstElement* audio_queue) {
  GstClockTime length = demuxer_length(demuxer);
  GstObject* parent = gst_object_get_parent(GST_OBJECT(demuxer));
  if (!parent) return false;
  GstElement* silence = GST_CLOCK_TIME_IS_VALID(length) ? make_silent_audio(GST_BIN(parent), length) : nullptr;
  gst_object_unref(parent);
  if (!silence) return false;
  tag_branch_element(silence, branch_id_of(GST_OBJECT(demuxer)));
  {
    // Recorded on the branch, which takes it away with its other elements.
    std::lock_guard<std::mutex> lock(preload_lock());
    if (!is_current_preload(demuxer)) {
      GstObject* bin = gst_object_get_parent(GST_OBJECT(silence));
      if (bin) gst_bin_remove(GST_BIN(bin), silence);
      if (bin) gst_object_unref(bin);
      return true;  // dropped meanwhile: nothing to complete
    }
    g_object_set_data(G_OBJECT(demuxer), branch_key::AUDIO_SOURCE, silence);
  }
  PadRef src(silent_audio_src(silence));
  link_audio_pad(demuxer, src.get(), "silence");
  PadRef sink(gst_element_get_static_pad(audio_queue, "sink"));
  if (!gst_pad_is_linked(sink.get())) return false;
  log_line("[PRELOAD] No sound in this file - silence of %.3f s in its place", static_cast<double>(length) / GST_SECOND);
  gst_element_sync_state_with_parent(silence);
  return true;
}

}  // namespace

void on_preload_no_more_pads(GstElement* demuxer, gpointer) {
  // No audio pad reached the audio queue: the file has no sound we can play.
  GstElement* audio_queue = object_element(demuxer, branch_key::AUDIO_QUEUE);
  PadRef sink(audio_queue ? gst_element_get_static_pad(audio_queue, "sink") : nullptr);
  if (sink && gst_pad_is_linked(sink.get())) return;
  if (audio_queue && object_element(demuxer, branch_key::AUDIO_SELECTOR) && link_silence(demuxer, audio_queue)) return;
  std::unique_lock<std::mutex> lock(preload_lock());
  preload_note_audio(player_state(), demuxer, false, lock);
}
