// The preload command: builds the next file's branch inside the running
// pipeline, held back from the screen until the switch.
#include "switching/preload.h"

#include <unistd.h>

#include <deque>
#include <utility>

#include "core/gst_holders.h"
#include "core/log.h"
#include "messaging/ack_delivery.h"
#include "protocol/protocol.h"
#include "switching/branch.h"
#include "switching/switch_at_end.h"

namespace {

void refuse(const char* path, const std::string& why) {
  log_line("%s%s: %s", protocol::PRELOAD_FAILED, path, why.c_str());
  send_with_ack(protocol::PRELOAD_ERROR, protocol::ACK_PRELOAD_ERROR);
}

}  // namespace

void discard_preload(PlayerState& st) {
  // The switch armed for the end of the file has nothing left to switch to.
  cancel_switch_at_end();
  preload_progress_abandon(st);
  PadRef current_active_pad;
  if (st.input_selector) g_object_get(st.input_selector, "active-pad", current_active_pad.out_ptr(), nullptr);
  BranchParts b = take_preload(st);
  g_free(st.preload_video_path);
  st.preload_video_path = nullptr;
  if (b.video_pad && b.video_pad == current_active_pad.get()) {
    // That branch is the one on screen: only forget it.
    gst_object_unref(std::exchange(b.video_pad, nullptr));
    if (b.audio_pad) gst_object_unref(std::exchange(b.audio_pad, nullptr));
    return;
  }
  branch_stop_and_remove(st.pipeline, b);
  branch_release_pads(st, b);
  if (current_active_pad) g_object_set(st.input_selector, "active-pad", current_active_pad.get(), nullptr);
}

void handle_preload_failure(PlayerState& st, GstElement* demuxer, const char* reason) {
  if (!demuxer || demuxer != st.preload_qtdemux) return;  // a preload already gone
  std::string path = st.preload_video_path ? st.preload_video_path : "";
  log_line("%s%s: %s", protocol::PRELOAD_FAILED, path.c_str(), reason ? reason : "unknown error");
  discard_preload(st);
  send_with_ack(protocol::PRELOAD_ERROR, protocol::ACK_PRELOAD_ERROR);
}

namespace {

// Errors posted by the preload's elements, by message number, with the
// preload's branch number. Taken when posted, so that an error read only
// after the switch that took its branch is still known as the preload's.
std::mutex preload_errors_lock;
std::deque<std::pair<guint32, unsigned>> preload_errors;
constexpr size_t PRELOAD_ERRORS_KEPT = 64;  // a rebuilt pipeline's bus never delivers the rest

GstBusSyncReply note_preload_error(GstBus*, GstMessage* msg, gpointer) {
  if (GST_MESSAGE_TYPE(msg) != GST_MESSAGE_ERROR) return GST_BUS_PASS;
  unsigned preload = player_state().preload_branch_id.load();
  if (preload == 0 || branch_id_of(GST_MESSAGE_SRC(msg)) != preload) return GST_BUS_PASS;
  std::lock_guard<std::mutex> lock(preload_errors_lock);
  preload_errors.emplace_back(gst_message_get_seqnum(msg), preload);
  if (preload_errors.size() > PRELOAD_ERRORS_KEPT) preload_errors.pop_front();
  return GST_BUS_PASS;
}

}  // namespace

void watch_preload_errors(GstBus* bus) {
  if (bus) gst_bus_set_sync_handler(bus, note_preload_error, nullptr, nullptr);
}

unsigned preload_error_branch(GstMessage* msg) {
  std::lock_guard<std::mutex> lock(preload_errors_lock);
  guint32 seqnum = gst_message_get_seqnum(msg);
  for (auto it = preload_errors.begin(); it != preload_errors.end(); ++it) {
    if (it->first != seqnum) continue;
    unsigned branch = it->second;
    preload_errors.erase(it);
    return branch;
  }
  return 0;
}

bool preload_owns(const PlayerState& st, GstObject* object) {
  std::lock_guard<std::mutex> lock(preload_lock());
  GstElement* members[] = {st.preload_filesrc,     st.preload_qtdemux,   st.preload_queue,
                           st.preload_h264parse,   st.preload_audio_queue, st.preload_decodebin,
                           st.preload_audioconvert, st.preload_audio_capsfilter.load(),
                           object_element(st.preload_qtdemux, branch_key::AUDIO_SOURCE)};
  for (GstObject* o = object; o; o = GST_OBJECT_PARENT(o))
    for (GstElement* m : members)
      if (m && GST_OBJECT(m) == o) return true;
  return false;
}

void handle_drop_preload_command(PlayerState& st) {
  finish_handover_now(st);  // a preload already being switched to is the file on screen
  if (!st.preload_filesrc) {
    log_line("%s", protocol::PRELOAD_NONE_TO_DROP);
    return;
  }
  log_line("%s%s", protocol::PRELOAD_DROPPED, st.preload_video_path ? st.preload_video_path : "(unknown)");
  discard_preload(st);
}

CommandOutcome handle_preload_command(PlayerState& st, const char* path) {
  if (!path || !*path || !st.input_selector) {
    log_line("ERROR: preload command requires path and input-selector");
    return CommandOutcome::Processed;
  }
  if (st.preload_ready && st.preload_filesrc) {
    log_line("[PRELOAD] ⛔ REJECTED - Already have preloaded video. Switch first.");
    send_with_ack(protocol::PRELOAD_ERROR, protocol::ACK_PRELOAD_ERROR);
    return CommandOutcome::Rejected;
  }
  if (cleanup_in_progress) {
    log_line("[PRELOAD] ⛔ REJECTED - Cleanup in progress, wait...");
    send_with_ack(protocol::PRELOAD_ERROR, protocol::ACK_PRELOAD_ERROR);
    return CommandOutcome::Rejected;
  }
  if (access(path, F_OK) != 0) {
    log_raw("%s%s\n", protocol::PRELOAD_MISSING, path);
    send_with_ack(protocol::PRELOAD_ERROR, protocol::ACK_PRELOAD_ERROR);
    return CommandOutcome::Rejected;
  }
  std::string why = unusable_media_file(path);
  if (!why.empty()) {
    refuse(path, why);
    return CommandOutcome::Rejected;
  }
  if (st.preload_filesrc) discard_preload(st);

  VideoPartNames names{"preload_filesrc" + std::to_string(st.element_counter),
                       "preload_demux" + std::to_string(st.element_counter),
                       numbered("preload_queue", st.element_counter), numbered("preload_h264parse", st.element_counter)};
  BranchParts b;
  CreateResult made = branch_create_video_part(st, path, names, b);
  if (made == CreateResult::NotMade) {
    log_line("ERROR: Failed to create preload elements");
    return CommandOutcome::Rejected;
  }
  st.preload_video_path = g_strdup(path);
  {
    std::lock_guard<std::mutex> lock(preload_lock());
    st.preload_filesrc = b.filesrc;
    st.preload_qtdemux = b.qtdemux;
    st.preload_queue = b.queue;
    st.preload_h264parse = b.h264parse;
    st.preload_branch_id = static_cast<unsigned>(st.element_counter);
  }
  if (made == CreateResult::NotLinked) {
    log_line("ERROR: Failed to link preload elements");
    return CommandOutcome::Rejected;
  }
  GObject* d = G_OBJECT(b.qtdemux);
  g_object_set_data(d, branch_key::IS_PRELOAD, GINT_TO_POINTER(1));
  bool with_audio = false;
  if (!st.no_sound && st.audio_selector) {
    log_line("DEBUG: Creating AUDIO elements for preload...");
    if (branch_create_audio_part(st, b)) {
      {
        std::lock_guard<std::mutex> lock(preload_lock());
        st.preload_audio_queue = b.audio_queue;
        st.preload_decodebin = b.decodebin;
        st.preload_audioconvert = b.audioconvert;
      }
      g_object_set_data(d, branch_key::AUDIO_QUEUE, b.audio_queue);
      g_object_set_data(d, branch_key::DECODEBIN, b.decodebin);
      g_object_set_data(d, branch_key::AUDIOCONVERT, b.audioconvert);
      g_object_set_data(d, branch_key::AUDIO_SELECTOR, st.audio_selector);
      g_object_set_data(d, branch_key::PRELOAD_AUDIO_PAD, &st.preload_audio_selector_pad);
      g_object_set_data(d, branch_key::PRELOAD_AUDIO_CAPSFILTER, &st.preload_audio_capsfilter);
      log_line("DEBUG: Audio elements created and added to pipeline");
      with_audio = true;
    } else {
      log_line("ERROR: Failed to create audio elements");
    }
  }
  preload_progress_begin(st, with_audio, path);
  g_signal_connect(b.qtdemux, "pad-added", G_CALLBACK(on_pad_added), nullptr);
  g_signal_connect(b.qtdemux, "no-more-pads", G_CALLBACK(on_preload_no_more_pads), nullptr);

  for (GstElement* e : {b.filesrc, b.qtdemux, b.queue, b.h264parse}) gst_element_set_state(e, GST_STATE_PAUSED);
  st.element_counter++;
  return CommandOutcome::Processed;
}
