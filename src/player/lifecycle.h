// Pieces of start-up and shutdown that tests drive too.
#pragma once
#include "core/player_state.h"
#include "platform/screen.h"
#include "platform/shared_clock.h"

struct StartupOptions {
  const char* location = nullptr;
  gboolean no_sound = FALSE;
  gboolean maxlog_flag = FALSE;
  const char* audio_device = "";  // --audio-device DEVICE: an ALSA device name; empty: ALSA's default
  const char* decoder = nullptr;  // --decoder NAME: this H.264 decoder element, whatever else is registered
  ScreenOptions screen;
  SharedClockOptions clock;
};

// Reads the flags and the location (the first argument that is not one of
// the screen's options) after gst_init. A wrong option value is said in a
// line and left at its default.
StartupOptions parse_arguments(int argc, char** argv);
// Sets GStreamer's own log to its file; must run before gst_init.
void configure_gstreamer_logging();
// After gst_init: keeps GStreamer's GL debugging off, which the log's level
// would otherwise turn on.
void keep_gl_debugging_off();
// Builds the pipeline for the location, discovers its elements and publishes
// the state pointers. Returns false when no pipeline could be made.
bool build_and_discover(PlayerState& st, const StartupOptions& opts);
// GLib and GStreamer warnings would go to standard error; the manager reads
// only standard output, so they go there, one line each.
void route_library_messages_to_stdout();
// Sets the pipeline to PAUSED and waits for the preroll, at most the given time.
void preroll_pipeline(PlayerState& st, GstClockTime timeout);
// Sets the pipeline to NULL and releases every handle the state holds.
void release_pipeline(PlayerState& st);
// Ends the process with the status if shutdown has not finished within the time.
void arm_shutdown_deadline(unsigned seconds, int status);
