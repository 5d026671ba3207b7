// The record the main thread owns, and the module-level values that several
// parts of the player share. Flags and counters that other threads touch are
// atomics; everything else belongs to the main thread.
#pragma once
#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

struct PlayerState {
  GstElement* pipeline = nullptr;
  GstBus* bus = nullptr;
  GstElement* filesrc = nullptr;
  GstElement* input_selector = nullptr;
  GstElement* audio_selector = nullptr;
  GstElement* glimagesink_element = nullptr;
  GstElement* glupload = nullptr;

  gboolean uri_mode = FALSE;
  gboolean no_sound = FALSE;
  gboolean is_playing = FALSE;
  gboolean position_guard_active = FALSE;
  gint64 position_guard_last = 0;
  gboolean quit = FALSE;
  gboolean fatal_error = FALSE;
  int element_counter = 1;
  std::atomic<int> video_switching_in_progress{0};

  // The preloaded branch. Element pointers are borrowed: the pipeline owns them.
  GstElement* preload_filesrc = nullptr;
  GstElement* preload_qtdemux = nullptr;
  GstElement* preload_queue = nullptr;
  GstElement* preload_h264parse = nullptr;
  GstElement* preload_audio_queue = nullptr;
  GstElement* preload_decodebin = nullptr;
  GstElement* preload_audioconvert = nullptr;
  std::atomic<GstElement*> preload_audio_capsfilter{nullptr};
  // Each pad field holds one reference.
  std::atomic<GstPad*> preload_selector_pad{nullptr};
  std::atomic<GstPad*> preload_audio_selector_pad{nullptr};
  std::atomic<int> preload_ready{0};
  gchar* preload_video_path = nullptr;
  std::atomic<gulong> preload_video_probe_id{0};
  std::atomic<gulong> preload_audio_probe_id{0};
  // The aspect-ratio decision for the preload has been taken, whatever it was:
  // a rebuild may then play the preloaded file.
  std::atomic<int> preload_checked{0};
};

// How far the preload in hand has got. Guarded by preload_lock() (switching/branch.h).
struct PreloadProgress {
  enum class Audio { Pending, Linked, Absent };
  unsigned generation = 0;  // changes whenever a preload begins or is abandoned
  bool active = false;
  bool video_linked = false;
  Audio audio = Audio::Pending;
  bool ratios_read = false;
  float preload_dar = 0.0f;
  float current_dar = 0.0f;
  bool decided = false;
};
PreloadProgress& preload_progress();

// The one instance, owned by the main thread.
PlayerState& player_state();

// Published pointers into PlayerState for the streaming-thread callbacks.
extern std::atomic<int>* g_video_switching_in_progress;
extern std::atomic<GstPad*>* g_preload_selector_pad;
extern std::atomic<int>* g_preload_ready;
extern std::atomic<gulong>* g_preload_video_probe_id;
extern std::atomic<gulong>* g_preload_audio_probe_id;
extern std::atomic<GstElement*> global_pipeline;

void publish_state_pointers(PlayerState& st);

// Module-level flags and counters shared between the parts.
extern std::atomic<int> switch_in_progress;
extern std::atomic<int> cleanup_in_progress;
extern std::atomic<guint> active_cleanup_timeout_id;
extern GstElement* active_qtdemux;                   // main thread only; holds a reference
extern GstElement* active_audio_selector_pad_owner;  // main thread only; borrowed
extern std::atomic<int> suppress_events;
extern std::atomic<int> ignore_next_switch;
extern std::atomic<int> restart_scheduled;
extern std::atomic<int> waiting_for_video_end;
extern std::atomic<int> restart_pending;
extern std::atomic<int> restart_for_ar_fix;
extern std::atomic<uint64_t> iterations_since_last_restart;
extern std::atomic<uint64_t> main_loop_iterations;
// Seconds on the monotonic clock (a clock step at boot must not look like a stall).
extern std::atomic<time_t> last_iteration_time;
time_t monotonic_seconds();
extern std::atomic<float> current_aspect_ratio;
extern GstElement* g_filesrc;      // own reference
extern GstElement* g_glimagesink;  // own reference
extern std::atomic<int> maxlog;
extern std::atomic<int> heartbeat_running;
extern std::atomic<int> ack_system_running;
extern GMutex operation_lock;

