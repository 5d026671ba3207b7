// The record of the player, and the module-level values that several parts
// share, grouped by who may touch them:
//   main thread only - the loop's thread reads and writes them, no other;
//   atomics          - read (some also written) on streaming, probe or
//                      watchdog threads;
//   preload lock     - written by the main thread holding preload_lock(),
//                      read on other threads only holding it (the main
//                      thread, their only writer, reads them without it).
#pragma once
#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

// Serialises the preload's elements below and its progress between the main
// thread and the streaming and probe threads that complete the preload.
std::mutex& preload_lock();

struct PlayerState {
  // ---- Main thread only ----
  GstElement* pipeline = nullptr;
  GstBus* bus = nullptr;
  GstElement* filesrc = nullptr;  // the source of the branch on screen
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
  gchar* preload_video_path = nullptr;
  // The video command's branch until its picture shows: its demuxer (one
  // reference) and path, so that a broken file can be taken away again.
  GstElement* video_branch_demuxer = nullptr;
  std::string video_branch_path;

  // ---- Atomics: streaming threads reach them through the published pointers ----
  std::atomic<int> video_switching_in_progress{0};
  std::atomic<GstElement*> preload_audio_capsfilter{nullptr};
  // Each pad field holds one reference.
  std::atomic<GstPad*> preload_selector_pad{nullptr};
  std::atomic<GstPad*> preload_audio_selector_pad{nullptr};
  std::atomic<int> preload_ready{0};
  std::atomic<gulong> preload_video_probe_id{0};
  std::atomic<gulong> preload_audio_probe_id{0};
  // The aspect-ratio decision for the preload has been taken, whatever it was:
  // a rebuild may then play the preloaded file.
  std::atomic<int> preload_checked{0};
  // The number of the preloaded branch (its elements carry it), 0 for none:
  // read where bus messages are posted, to tell whose they were at that moment.
  std::atomic<unsigned> preload_branch_id{0};
  // The number of the video command's branch until its picture shows (or it
  // fails), 0 for none: its pad handler shows it only while it is still this.
  std::atomic<unsigned> video_branch_id{0};

  // ---- Under preload_lock(): the preloaded branch ----
  // Borrowed: the pipeline owns them. The pad handlers compare their demuxer
  // with preload_qtdemux to drop the work of a branch replaced meanwhile.
  GstElement* preload_filesrc = nullptr;
  GstElement* preload_qtdemux = nullptr;
  GstElement* preload_queue = nullptr;
  GstElement* preload_h264parse = nullptr;
  GstElement* preload_audio_queue = nullptr;
  GstElement* preload_decodebin = nullptr;
  GstElement* preload_audioconvert = nullptr;
};

// How far the preload in hand has got. Under preload_lock().
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

// The one instance.
PlayerState& player_state();

// Published pointers into PlayerState for the streaming-thread callbacks: set
// once at start-up, before any pipeline runs, and never changed.
extern std::atomic<int>* g_video_switching_in_progress;
extern std::atomic<GstPad*>* g_preload_selector_pad;
extern std::atomic<int>* g_preload_ready;
extern std::atomic<gulong>* g_preload_video_probe_id;
extern std::atomic<gulong>* g_preload_audio_probe_id;
void publish_state_pointers(PlayerState& st);

// ---- Main thread only ----
extern GstElement* active_qtdemux;                   // holds a reference
extern GstElement* active_audio_selector_pad_owner;  // borrowed
// The file source the pipeline was built with (own reference): the ratio
// check reads its location when a preload starts, on the main thread.
extern GstElement* g_filesrc;
extern GstElement* g_glimagesink;  // own reference
// Only the switch takes it, and only on the main thread.
extern std::mutex operation_lock;

// ---- Atomics: any thread ----
extern std::atomic<GstElement*> global_pipeline;  // the heartbeat and the pad handlers read it
extern std::atomic<int> switch_in_progress;
extern std::atomic<int> cleanup_in_progress;
extern std::atomic<guint> active_cleanup_timeout_id;
// Events are held back during a rebuild.
extern std::atomic<int> suppress_events;
extern std::atomic<int> ignore_next_switch;
// The rebuild's schedule: changed only through restart/rebuild_policy.h.
extern std::atomic<int> restart_scheduled;
extern std::atomic<int> waiting_for_video_end;
extern std::atomic<int> restart_pending;
extern std::atomic<int> restart_for_ar_fix;
extern std::atomic<uint64_t> iterations_since_last_restart;
// Read by the heartbeat thread.
extern std::atomic<uint64_t> main_loop_iterations;
// Seconds on the monotonic clock (a clock step at boot must not look like a stall).
extern std::atomic<time_t> last_iteration_time;
time_t monotonic_seconds();
extern std::atomic<float> current_aspect_ratio;
extern std::atomic<int> maxlog;
extern std::atomic<int> heartbeat_running;
extern std::atomic<int> ack_system_running;
