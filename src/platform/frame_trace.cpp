#include "platform/frame_trace.h"

#include <gst/gl/gl.h>

#include <cstdio>

#include "platform/screen.h"

namespace {

FILE* trace_file() {
  static FILE* file = [] {
    const char* path = g_getenv("VIDEO_PLAYER_FRAME_TRACE");
    FILE* f = path && *path ? fopen(path, "ae") : nullptr;
    if (f) setvbuf(f, nullptr, _IOLBF, 0);
    return f;
  }();
  return file;
}

struct Picture {
  GstClock* clock;  // owned
  GstClockTime running, due, pts, begun;
};

// On the GL thread, once the draw (its swap included) has returned: what a
// viewer sees from then on. Both times are read together, so that the two
// clocks can be compared at each picture; the clock as the draw began comes
// last, so that a draw's own length shows.
gboolean write_picture(gpointer data) {
  auto* p = static_cast<Picture*>(data);
  GstClockTime now = p->clock ? gst_clock_get_time(p->clock) : GST_CLOCK_TIME_NONE;
  fprintf(trace_file(), "%lld %llu %llu %llu %llu %llu\n", static_cast<long long>(g_get_monotonic_time()),
          static_cast<unsigned long long>(now), static_cast<unsigned long long>(p->running),
          static_cast<unsigned long long>(p->due), static_cast<unsigned long long>(p->pts),
          static_cast<unsigned long long>(p->begun));
  return G_SOURCE_REMOVE;
}

void free_picture(gpointer data) {
  auto* p = static_cast<Picture*>(data);
  if (p->clock) gst_object_unref(p->clock);
  delete p;
}

// On the GL thread, before the sink draws; returning FALSE keeps its drawing.
// The record is written by a task queued behind this draw on the same thread.
// A window's expose draws the same picture again: recorded once.
gboolean on_draw(GstElement* sink, GstGLContext*, GstSample* sample, gpointer) {
  static GstBuffer* last_buffer = nullptr;
  static GstClockTime last_pts = GST_CLOCK_TIME_NONE;
  GstBuffer* buffer = sample ? gst_sample_get_buffer(sample) : nullptr;
  if (!buffer) return FALSE;
  GstClockTime pts = GST_BUFFER_PTS(buffer);
  if (buffer == last_buffer && pts == last_pts) return FALSE;
  if (screen_asleep()) return FALSE;  // drawn black: not shown
  last_buffer = buffer;
  last_pts = pts;
  const GstSegment* segment = gst_sample_get_segment(sample);
  GstClockTime running = segment ? gst_segment_to_running_time(segment, GST_FORMAT_TIME, pts) : GST_CLOCK_TIME_NONE;
  GstClockTime due = GST_CLOCK_TIME_IS_VALID(running) ? gst_element_get_base_time(sink) + running : GST_CLOCK_TIME_NONE;
  GstClock* clock = gst_element_get_clock(sink);
  GstClockTime begun = clock ? gst_clock_get_time(clock) : GST_CLOCK_TIME_NONE;
  auto* picture = new Picture{clock, running, due, pts, begun};
  // The GL thread runs its window's main context: a source added to it runs
  // once this draw, its swap included, has returned. (Invoking the context
  // from its own thread would run at once, before the draw.)
  GMainContext* gl_context = g_main_context_get_thread_default();
  if (gl_context) {
    GSource* after = g_idle_source_new();
    g_source_set_priority(after, G_PRIORITY_HIGH);
    g_source_set_callback(after, write_picture, picture, free_picture);
    g_source_attach(after, gl_context);
    g_source_unref(after);
  } else {
    write_picture(picture);
    free_picture(picture);
  }
  return FALSE;
}

}  // namespace

void frame_trace_attach(GstElement* sink) {
  if (sink && trace_file()) g_signal_connect(sink, "client-draw", G_CALLBACK(on_draw), nullptr);
}
