#include "core/player_state.h"

#include <mutex>

PlayerState& player_state() {
  static PlayerState state;
  return state;
}

std::mutex& preload_lock() {
  static std::mutex lock;
  return lock;
}

PreloadProgress& preload_progress() {
  static PreloadProgress progress;
  return progress;
}

std::atomic<int>* g_video_switching_in_progress = nullptr;
std::atomic<GstPad*>* g_preload_selector_pad = nullptr;
std::atomic<int>* g_preload_ready = nullptr;
std::atomic<gulong>* g_preload_video_probe_id = nullptr;
std::atomic<gulong>* g_preload_audio_probe_id = nullptr;
std::atomic<GstElement*> global_pipeline{nullptr};

void publish_state_pointers(PlayerState& st) {
  g_video_switching_in_progress = &st.video_switching_in_progress;
  g_preload_selector_pad = &st.preload_selector_pad;
  g_preload_ready = &st.preload_ready;
  g_preload_video_probe_id = &st.preload_video_probe_id;
  g_preload_audio_probe_id = &st.preload_audio_probe_id;
  global_pipeline = st.pipeline;
}

std::atomic<int> switch_in_progress{0};
std::atomic<int> cleanup_in_progress{0};
std::atomic<guint> active_cleanup_timeout_id{0};
GstElement* active_qtdemux = nullptr;
GstElement* active_audio_selector_pad_owner = nullptr;
std::atomic<int> suppress_events{0};
std::atomic<int> ignore_next_switch{0};
std::atomic<int> restart_scheduled{0};
std::atomic<int> waiting_for_video_end{0};
std::atomic<int> restart_pending{0};
std::atomic<int> restart_for_ar_fix{0};
std::atomic<uint64_t> iterations_since_last_restart{0};
std::atomic<uint64_t> main_loop_iterations{0};
std::atomic<time_t> last_iteration_time{0};
time_t monotonic_seconds() { return static_cast<time_t>(g_get_monotonic_time() / G_USEC_PER_SEC); }
std::atomic<float> current_aspect_ratio{0.0f};
GstElement* g_filesrc = nullptr;
GstElement* g_glimagesink = nullptr;
std::atomic<int> maxlog{1};
std::atomic<int> heartbeat_running{0};
std::atomic<int> ack_system_running{0};
std::mutex operation_lock;

