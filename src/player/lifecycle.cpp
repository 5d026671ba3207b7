#include "player/lifecycle.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "core/log.h"
#include "core/sound_output.h"
#include "player/prepared_rebuild.h"
#include "core/pipeline_setup.h"
#include "switching/file_end.h"
#include "switching/preload.h"

namespace {

// A count of nanoseconds (or of milliseconds, scaled), or nothing.
bool parse_time(const char* text, GstClockTime scale, GstClockTime& out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 10);
  if (!*text || *end || errno || text[0] == '-' || value > G_MAXUINT64 / scale) return false;
  out = value * scale;
  return true;
}

// The wall's options: a value each, never the location.
bool take_clock_option(int argc, char** argv, int& i, SharedClockOptions& clock) {
  bool address = strcmp(argv[i], "--clock") == 0, latency = strcmp(argv[i], "--latency") == 0,
       base = strcmp(argv[i], "--base-time") == 0;
  if (!address && !latency && !base) return false;
  const char* value = i + 1 < argc ? argv[++i] : "";
  if (address) {
    clock.address = value;
  } else if (!parse_time(value, latency ? GST_MSECOND : 1, latency ? clock.latency : clock.base_time)) {
    log_line("ERROR: %s takes a whole number of %s, not \"%s\" - ignored", argv[i - 1],
             latency ? "milliseconds" : "nanoseconds", value);
  }
  return true;
}

}  // namespace

StartupOptions parse_arguments(int argc, char** argv) {
  StartupOptions opts;
  for (int i = 1; i < argc; ++i) {
    if (take_clock_option(argc, argv, i, opts.clock)) continue;
    bool rotate = strcmp(argv[i], "--rotate") == 0, output = strcmp(argv[i], "--output") == 0;
    if (rotate || output) {
      const char* value = i + 1 < argc ? argv[++i] : "";
      if (output) {
        opts.screen.output = value;
      } else if (auto method = rotate_method_from_text(value)) {
        opts.screen.rotate_method = *method;
      } else {
        log_line("ERROR: --rotate takes 0, 90, 180, 270, horizontal-flip or vertical-flip, not \"%s\" - not rotating",
                 value);
      }
      continue;
    }
    if (strcmp(argv[i], "--decoder") == 0) {
      opts.decoder = i + 1 < argc ? argv[++i] : "";
      continue;
    }
    if (strcmp(argv[i], "--audio-device") == 0) {
      opts.audio_device = i + 1 < argc ? argv[++i] : "";
      continue;
    }
    if (strcmp(argv[i], "--window") == 0) {
      opts.screen.window = true;
      continue;
    }
    // The screen's, the decoder's and the sound's options are never the location, wherever they stand; the
    // first of the other arguments is, even a flag, as it always was.
    if (!opts.location) opts.location = argv[i];
    if (strcmp(argv[i], "--maxlog") == 0) opts.maxlog_flag = TRUE;
    if (strcmp(argv[i], "--no_sound") == 0) opts.no_sound = TRUE;
  }
  return opts;
}

void configure_gstreamer_logging() {
  g_setenv("GST_DEBUG", "3", TRUE);
  g_setenv("GST_DEBUG_FILE", "/logplayer.txt", TRUE);
  g_setenv("GST_DEBUG_NO_COLOR", "1", TRUE);
}

// Level 3 also turns on GStreamer's GL debugging: GL timer queries around
// every upload, conversion and draw, and markers in the GL command stream.
// Neither writes a line at this level, but on every frame they cost the GL
// thread work and the software rasteriser extra passes. Only the messages
// the GL driver itself would report leave the log with them.
void keep_gl_debugging_off() {
  gst_debug_set_threshold_for_name("gldebug", GST_LEVEL_NONE);
  gst_debug_set_threshold_for_name("gldebugmarker", GST_LEVEL_NONE);
}

bool build_and_discover(PlayerState& st, const StartupOptions& opts) {
  st.no_sound = opts.no_sound;
  st.pipeline = build_startup_pipeline(opts.location, opts.no_sound);
  if (!st.pipeline) return false;
  screen_attach(st.pipeline);
  sound_attach(st.pipeline);
  shared_clock_attach(st.pipeline);
  st.bus = gst_element_get_bus(st.pipeline);
  watch_preload_errors(st.bus);
  watch_sink_ends(st.pipeline);
  st.element_counter = 1;
  if (GST_IS_PIPELINE(st.pipeline)) {
    discover_elements(st);
  } else {
    st.uri_mode = TRUE;
  }
  publish_state_pointers(st);
  return true;
}

namespace {

void library_message_to_stdout(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
  const char* kind = (level & G_LOG_LEVEL_ERROR)      ? "ERROR"
                     : (level & G_LOG_LEVEL_CRITICAL) ? "CRITICAL"
                     : (level & G_LOG_LEVEL_WARNING)  ? "WARNING"
                                                      : "INFO";
  std::string text = std::string(domain ? domain : "glib") + "-" + kind + ": " + (message ? message : "");
  for (char& c : text)
    if (c == '\n') c = ' ';
  // A library that fails in a loop (GL on a lost display) says the same
  // thing thousands of times in a few milliseconds: the first few are
  // enough, then one a second with its count.
  static std::mutex repeat_lock;
  static std::string last;
  static unsigned long repeats = 0;
  static gint64 counted_at = 0;
  {
    std::lock_guard<std::mutex> hold(repeat_lock);
    repeats = text == last ? repeats + 1 : 0;
    if (repeats == 0) last = text;
    if (repeats >= 3) {
      gint64 now = g_get_monotonic_time();
      if (repeats > 3 && now - counted_at < G_USEC_PER_SEC) return;
      counted_at = now;
    }
  }
  if (repeats >= 3)
    log_line("[stderr] %s (said %lu times in a row)", text.c_str(), repeats + 1);
  else
    log_line("[stderr] %s", text.c_str());
}

}  // namespace

void route_library_messages_to_stdout() { g_log_set_default_handler(library_message_to_stdout, nullptr); }

void preroll_pipeline(PlayerState& st, GstClockTime timeout) {
  gst_element_set_state(st.pipeline, GST_STATE_PAUSED);
  if (gst_element_get_state(st.pipeline, nullptr, nullptr, timeout) == GST_STATE_CHANGE_ASYNC)
    log_line("WARNING: Pipeline did not preroll within %lu s - continuing",
             static_cast<unsigned long>(timeout / GST_SECOND));
}

void release_pipeline(PlayerState& st) {
  drop_prepared_rebuild();
  if (st.pipeline) gst_element_set_state(st.pipeline, GST_STATE_NULL);
  auto drop = [](auto*& ref) {
    if (ref) gst_object_unref(ref);
    ref = nullptr;
  };
  drop(st.bus);
  if (st.filesrc && st.uri_mode) st.filesrc = nullptr;
  drop(st.filesrc);
  drop(st.input_selector);
  drop(st.audio_selector);
  drop(st.glimagesink_element);
  drop(st.glupload);
  drop(g_filesrc);
  drop(g_glimagesink);
  drop(active_qtdemux);
  global_pipeline = nullptr;
  drop(st.pipeline);
}

void arm_shutdown_deadline(unsigned seconds, int status) {
  std::thread([seconds, status] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    log_line("[EXIT] Shutdown did not finish within %u s - exiting with code %d", seconds, status);
    terminate_process(status);
  }).detach();
}
