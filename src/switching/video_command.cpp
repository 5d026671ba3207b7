// The video command: loads a file at once, by the first method the pipeline allows.
#include "switching/video_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include "core/gst_holders.h"
#include "core/log.h"
#include "core/pipeline_setup.h"
#include "switching/branch.h"

namespace {

void load_by_uri(PlayerState& st, const char* path) {
  gst_element_set_state(st.pipeline, GST_STATE_READY);
  g_object_set(st.pipeline, "uri", file_uri_for(path).c_str(), nullptr);
  gst_element_set_state(st.pipeline, GST_STATE_PAUSED);
}

CommandOutcome load_on_selector(PlayerState& st, const char* path) {
  if (st.video_switching_in_progress) return CommandOutcome::Rejected;
  st.video_switching_in_progress = 1;

  GStr src_name(g_strdup_printf("filesrc%d", st.element_counter));
  GStr demux_name(g_strdup_printf("demux%d", st.element_counter));
  GstElement* filesrc = gst_element_factory_make("filesrc", src_name.get());
  GstElement* demux = gst_element_factory_make("qtdemux", demux_name.get());
  GstElement* queue = gst_element_factory_make("queue", numbered("video_queue", st.element_counter).c_str());
  GstElement* parser = gst_element_factory_make("h264parse", numbered("video_h264parse", st.element_counter).c_str());
  if (queue) set_queue_limits(queue);
  if (!filesrc || !demux || !queue || !parser) {
    log_line("ERROR: Failed to create new elements for input-selector");
    for (GstElement* e : {filesrc, demux, queue, parser})
      if (e) gst_object_unref(gst_object_ref_sink(e));
    st.video_switching_in_progress = 0;
    return CommandOutcome::Rejected;
  }
  g_object_set(filesrc, "location", path, nullptr);
  gst_bin_add_many(GST_BIN(st.pipeline), filesrc, demux, queue, parser, nullptr);
  if (!gst_element_link(filesrc, demux)) {
    log_line("ERROR: Failed to link new_filesrc to new_qtdemux");
    st.video_switching_in_progress = 0;
    return CommandOutcome::Rejected;
  }
  g_object_set_data(G_OBJECT(demux), branch_key::QUEUE, queue);
  g_object_set_data(G_OBJECT(demux), branch_key::H264PARSE, parser);
  g_object_set_data(G_OBJECT(demux), branch_key::SELECTOR, st.input_selector);
  g_signal_connect(demux, "pad-added", G_CALLBACK(on_pad_added), nullptr);
  // Downstream first: the demuxer starts pushing as soon as it is running,
  // and a push into a queue or parser not yet running returns FLUSHING, on
  // which the demuxer stops for good without an error.
  for (GstElement* e : {parser, queue, demux, filesrc}) gst_element_sync_state_with_parent(e);
  st.element_counter++;
  return CommandOutcome::Processed;
}

void load_on_filesrc(PlayerState& st, const char* path, gboolean was_playing) {
  gst_element_set_state(st.pipeline, GST_STATE_READY);
  g_object_set(st.filesrc, "location", path, nullptr);
  g_usleep(200000);
  gst_element_set_state(st.pipeline, GST_STATE_PAUSED);
  g_usleep(300000);
  if (!was_playing) return;
  gst_element_set_state(st.pipeline, GST_STATE_PLAYING);
  st.is_playing = TRUE;
  st.position_guard_active = TRUE;
  g_usleep(200000);
  gst_element_seek_simple(st.pipeline, GST_FORMAT_TIME,
                          static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0);
}

}  // namespace

CommandOutcome handle_video_command(PlayerState& st, const char* path) {
  if (!path || !*path) {
    log_line("ERROR: video command requires path");
    return CommandOutcome::Processed;
  }
  if (access(path, F_OK) != 0) {
    log_raw("ERROR: Video file does not exist: %s\n", path);
    return CommandOutcome::Rejected;
  }
  struct stat info;
  if (stat(path, &info) == 0 && info.st_size == 0) log_raw("WARNING: File is empty: %s\n", path);
  gboolean was_playing = st.is_playing;

  if (st.uri_mode && st.pipeline) {
    load_by_uri(st, path);
  } else if (st.input_selector) {
    if (load_on_selector(st, path) == CommandOutcome::Rejected) return CommandOutcome::Rejected;
  } else if (st.filesrc) {
    load_on_filesrc(st, path, was_playing);
  } else {
    log_line("ERROR: No switching method available");
  }
  st.position_guard_last = 0;
  return CommandOutcome::Processed;
}
