#include "platform/frame_trace.h"

#include <gst/gl/gl.h>

#include <cstdio>

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

// On the GL thread, before the sink draws; returning FALSE keeps its drawing.
// A window's expose draws the same picture again: recorded once.
gboolean on_draw(GstElement* sink, GstGLContext*, GstSample* sample, gpointer) {
  static GstBuffer* last_buffer = nullptr;
  static GstClockTime last_pts = GST_CLOCK_TIME_NONE;
  GstBuffer* buffer = sample ? gst_sample_get_buffer(sample) : nullptr;
  if (!buffer) return FALSE;
  GstClockTime pts = GST_BUFFER_PTS(buffer);
  if (buffer == last_buffer && pts == last_pts) return FALSE;
  last_buffer = buffer;
  last_pts = pts;
  const GstSegment* segment = gst_sample_get_segment(sample);
  GstClockTime running = segment ? gst_segment_to_running_time(segment, GST_FORMAT_TIME, pts) : GST_CLOCK_TIME_NONE;
  GstClock* clock = gst_element_get_clock(sink);
  GstClockTime now = clock ? gst_clock_get_time(clock) : GST_CLOCK_TIME_NONE;
  if (clock) gst_object_unref(clock);
  GstClockTime due = GST_CLOCK_TIME_IS_VALID(running) ? gst_element_get_base_time(sink) + running : GST_CLOCK_TIME_NONE;
  fprintf(trace_file(), "%lld %llu %llu %llu %llu\n", static_cast<long long>(g_get_monotonic_time()),
          static_cast<unsigned long long>(now), static_cast<unsigned long long>(running),
          static_cast<unsigned long long>(due), static_cast<unsigned long long>(pts));
  return FALSE;
}

}  // namespace

void frame_trace_attach(GstElement* sink) {
  if (sink && trace_file()) g_signal_connect(sink, "client-draw", G_CALLBACK(on_draw), nullptr);
}
