// The video command: loads a file at once, by the first method the pipeline allows.
#include "switching/video_command.h"


#include <sys/stat.h>
#include <unistd.h>

#include "core/gst_holders.h"
#include "core/log.h"
#include "core/pipeline_setup.h"
#include "protocol/protocol.h"
#include "switching/branch.h"
#include "switching/switch_at_end.h"

namespace {

void load_by_uri(PlayerState& st, const char* path) {
  gst_element_set_state(st.pipeline, GST_STATE_READY);
  g_object_set(st.pipeline, "uri", file_uri_for(path).c_str(), nullptr);
  gst_element_set_state(st.pipeline, GST_STATE_PAUSED);
}

CommandOutcome load_on_selector(PlayerState& st, const char* path) {
  if (st.video_switching_in_progress) return CommandOutcome::Rejected;
  st.video_switching_in_progress = 1;
  int n = st.element_counter;
  VideoPartNames names{"filesrc" + std::to_string(n), "demux" + std::to_string(n), numbered("video_queue", n),
                       numbered("video_h264parse", n)};
  BranchParts b;
  switch (branch_create_video_part(st, path, names, b)) {
    case CreateResult::NotMade:
      log_line("ERROR: Failed to create new elements for input-selector");
      st.video_switching_in_progress = 0;
      return CommandOutcome::Rejected;
    case CreateResult::NotLinked:
      log_line("ERROR: Failed to link new_filesrc to new_qtdemux");
      st.video_switching_in_progress = 0;
      return CommandOutcome::Rejected;
    case CreateResult::Ok:
      break;
  }
  // Kept until its picture shows, so that a broken file can be taken away.
  forget_video_branch(st);
  st.video_branch_demuxer = GST_ELEMENT(gst_object_ref(b.qtdemux));
  st.video_branch_path = path;
  st.video_branch_id = static_cast<unsigned>(n);
  g_signal_connect(b.qtdemux, "pad-added", G_CALLBACK(on_pad_added), nullptr);
  // Downstream first: a demuxer started ahead of its queue pushes into a
  // stopped queue, gets "flushing" and pauses for good, showing nothing.
  for (GstElement* e : {b.h264parse, b.queue, b.qtdemux, b.filesrc}) gst_element_sync_state_with_parent(e);
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

void forget_video_branch(PlayerState& st) {
  if (st.video_branch_demuxer) gst_object_unref(st.video_branch_demuxer);
  st.video_branch_demuxer = nullptr;
  st.video_branch_path.clear();
  st.video_branch_id = 0;
}

bool video_branch_failing(PlayerState& st, unsigned branch) {
  return branch != 0 && branch == st.video_branch_id.load() && st.video_switching_in_progress;
}

void handle_video_failure(PlayerState& st, const char* reason) {
  {
    // Its pad handler shows the branch under this lock, and not once the id is gone.
    std::lock_guard<std::mutex> lock(preload_lock());
    if (!st.video_branch_demuxer || !st.video_switching_in_progress) return;
    st.video_branch_id = 0;
  }
  log_line("%s%s: %s", protocol::VIDEO_FAILED, st.video_branch_path.c_str(), reason ? reason : "unknown error");
  GstElement* demux = st.video_branch_demuxer;
  g_signal_handlers_disconnect_matched(demux, static_cast<GSignalMatchType>(G_SIGNAL_MATCH_FUNC | G_SIGNAL_MATCH_DATA),
                                       0, 0, nullptr, reinterpret_cast<gpointer>(on_pad_added), nullptr);
  BranchParts b = branch_of(demux);
  if (b.h264parse) {
    PadRef src(gst_element_get_static_pad(b.h264parse, "src"));
    b.video_pad = src ? gst_pad_get_peer(src.get()) : nullptr;
  }
  branch_stop_and_remove(st.pipeline, b);
  branch_release_pads(st, b);
  st.video_switching_in_progress = 0;
  forget_video_branch(st);
}

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
  // A directory or a FIFO would fail the demuxer or block the source's start.
  std::string why = unusable_media_file(path, false);
  if (!why.empty()) {
    log_line("%s%s: %s", protocol::VIDEO_FAILED, path, why.c_str());
    return CommandOutcome::Rejected;
  }
  gboolean was_playing = st.is_playing;
  finish_handover_now(st);
  disarm_switch_at_end();  // the file it was armed for is no longer the one that ends

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
