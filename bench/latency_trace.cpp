#include "latency_trace.h"

#include <gst/video/video.h>

#include <cmath>
#include <string>

namespace latency {

// ---------------------------------------------------------------- clips and colours

namespace {

// BT.601 limited range, the conversion ffmpeg applies when make-clips.sh encodes.
Yuv yuv_of_rgb(int r8, int g8, int b8) {
  double r = r8 / 255.0, g = g8 / 255.0, b = b8 / 255.0;
  return {16 + 65.481 * r + 128.553 * g + 24.966 * b, 128 - 37.797 * r - 74.203 * g + 112.0 * b,
          128 + 112.0 * r - 93.786 * g - 18.214 * b};
}

}  // namespace

// Played in this order, round and round: neighbours always differ in colour.
const ClipColour CLIPS[] = {
    {"red.mp4", "red", yuv_of_rgb(255, 0, 0)},         {"green.mp4", "green", yuv_of_rgb(0, 255, 0)},
    {"blue.mp4", "blue", yuv_of_rgb(0, 0, 255)},       {"yellow.mp4", "yellow", yuv_of_rgb(255, 255, 0)},
    {"white.mp4", "white", yuv_of_rgb(255, 255, 255)},
};
static_assert(sizeof CLIPS / sizeof CLIPS[0] == CLIP_COUNT, "CLIP_COUNT counts the clips");

namespace {

constexpr double COLOUR_TOLERANCE = 24;

int classify(int y, int u, int v) {
  for (int i = 0; i < CLIP_COUNT; ++i) {
    const Yuv& c = CLIPS[i].yuv;
    if (std::fabs(c.y - y) <= COLOUR_TOLERANCE && std::fabs(c.u - u) <= COLOUR_TOLERANCE &&
        std::fabs(c.v - v) <= COLOUR_TOLERANCE)
      return i;
  }
  return -1;
}

}  // namespace

const char* colour_name(int c) { return c >= 0 && c < CLIP_COUNT ? CLIPS[c].colour : "unknown"; }

// ---------------------------------------------------------------- timeline

std::atomic<bool> stop_loop{false};
std::atomic<bool> loop_exited{false};
Timeline timeline;
gint64 run_start = 0;

// ---------------------------------------------------------------- probes

namespace {

std::atomic<int> last_decoded_colour{-1};

// Decoder output, still in system memory: the only place the colour can be read cheaply.
GstPadProbeReturn on_decoded(GstPad*, GstPadProbeInfo* info, gpointer) {
  static GstVideoInfo vinfo;
  static bool have_info = false;
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent* e = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(e) == GST_EVENT_CAPS) {
      GstCaps* caps = nullptr;
      gst_event_parse_caps(e, &caps);
      have_info = caps && gst_video_info_from_caps(&vinfo, caps);
    }
    return GST_PAD_PROBE_OK;
  }
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  int colour = -1;
  GstVideoFrame frame;
  if (have_info && buffer && gst_video_frame_map(&frame, &vinfo, buffer, GST_MAP_READ)) {
    const GstVideoFormatInfo* f = frame.info.finfo;
    if (GST_VIDEO_FORMAT_INFO_IS_YUV(f) && GST_VIDEO_FORMAT_INFO_DEPTH(f, 0) == 8) {
      int x = GST_VIDEO_FRAME_WIDTH(&frame) / 2, y = GST_VIDEO_FRAME_HEIGHT(&frame) / 2;
      int val[3];
      for (int c = 0; c < 3; ++c) {
        int cx = GST_VIDEO_FORMAT_INFO_SCALE_WIDTH(f, c, x);
        int cy = GST_VIDEO_FORMAT_INFO_SCALE_HEIGHT(f, c, y);
        const guint8* p = static_cast<const guint8*>(GST_VIDEO_FRAME_COMP_DATA(&frame, c)) +
                          cy * GST_VIDEO_FRAME_COMP_STRIDE(&frame, c) + cx * GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, c);
        val[c] = *p;
      }
      colour = classify(val[0], val[1], val[2]);
    }
    gst_video_frame_unmap(&frame);
  }
  // glupload hands the frame on to the sink on this same thread, so the sink
  // pad's next buffer is this one.
  last_decoded_colour = colour;
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn on_sink_pad(GstPad*, GstPadProbeInfo* info, gpointer) {
  gint64 now = g_get_monotonic_time();
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer* b = GST_PAD_PROBE_INFO_BUFFER(info);
    timeline.add(Ev::Arrive, now, GST_BUFFER_PTS(b), last_decoded_colour.load());
    return GST_PAD_PROBE_OK;
  }
  GstEvent* e = GST_PAD_PROBE_INFO_EVENT(info);
  if (!e) return GST_PAD_PROBE_OK;
  switch (GST_EVENT_TYPE(e)) {
    case GST_EVENT_FLUSH_START:
      timeline.add(Ev::FlushStart, now);
      break;
    case GST_EVENT_FLUSH_STOP:
      timeline.add(Ev::FlushStop, now);
      break;
    case GST_EVENT_SEGMENT:
      timeline.add(Ev::Segment, now);
      break;
    case GST_EVENT_EOS:
      timeline.add(Ev::SinkEos, now);
      break;
    default:
      break;
  }
  return GST_PAD_PROBE_OK;
}

// Emitted on the GL thread right before the sink draws; returning FALSE keeps
// the sink's own drawing. Window exposes redraw the same buffer: counted once.
gboolean on_client_draw(GstElement*, gpointer /*GstGLContext*/, GstSample* sample, gpointer) {
  static GstBuffer* last_buffer = nullptr;
  static GstClockTime last_pts = GST_CLOCK_TIME_NONE;
  GstBuffer* b = sample ? gst_sample_get_buffer(sample) : nullptr;
  if (!b) return FALSE;
  GstClockTime pts = GST_BUFFER_PTS(b);
  if (b == last_buffer && pts == last_pts) return FALSE;
  last_buffer = b;
  last_pts = pts;
  timeline.add(Ev::Draw, g_get_monotonic_time(), pts);
  return FALSE;
}

GstPadProbeReturn on_audio_sink_pad(GstPad*, GstPadProbeInfo* info, gpointer) {
  GstEvent* e = GST_PAD_PROBE_INFO_EVENT(info);
  if (e && GST_EVENT_TYPE(e) == GST_EVENT_EOS) timeline.add(Ev::AudioEos, g_get_monotonic_time());
  if (e && GST_EVENT_TYPE(e) == GST_EVENT_FLUSH_START) timeline.add(Ev::AudioFlushStart, g_get_monotonic_time());
  return GST_PAD_PROBE_OK;
}

// Only timestamps: the message still goes to the bus for the player's loop.
GstBusSyncReply on_bus_message(GstBus*, GstMessage* msg, gpointer pipeline) {
  if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS && GST_MESSAGE_SRC(msg) == GST_OBJECT(pipeline))
    timeline.add(Ev::BusEos, g_get_monotonic_time());
  // The player logs only that a warning came, not what it says.
  if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_WARNING || GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
    GError* err = nullptr;
    if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_WARNING)
      gst_message_parse_warning(msg, &err, nullptr);
    else
      gst_message_parse_error(msg, &err, nullptr);
    std::string text = std::string(GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR ? "error from " : "warning from ") +
                       GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)) + ": " + (err ? err->message : "");
    if (err) g_error_free(err);
    timeline.add(Ev::BusWarning, g_get_monotonic_time(), GST_CLOCK_TIME_NONE, -1, text);
  }
  return GST_BUS_PASS;
}

void watch_audio_sink(PlayerState& st) {
  GstIterator* it = gst_bin_iterate_sinks(GST_BIN(st.pipeline));
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    GstElement* e = GST_ELEMENT(g_value_get_object(&item));
    if (e != st.glimagesink_element) {
      GstPad* pad = gst_element_get_static_pad(e, "sink");
      if (pad) {
        gst_pad_add_probe(
            pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM | GST_PAD_PROBE_TYPE_EVENT_FLUSH),
            on_audio_sink_pad, nullptr, nullptr);
        gst_object_unref(pad);
      }
    }
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);
}

}  // namespace

bool install_probes(PlayerState& st) {
  if (!st.glimagesink_element || !st.glupload) return false;
  GstPad* decoded = gst_element_get_static_pad(st.glupload, "sink");
  GstPad* sink = gst_element_get_static_pad(st.glimagesink_element, "sink");
  if (!decoded || !sink) return false;
  gst_pad_add_probe(decoded,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    on_decoded, nullptr, nullptr);
  gst_pad_add_probe(sink,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                 GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                    on_sink_pad, nullptr, nullptr);
  gst_object_unref(decoded);
  gst_object_unref(sink);
  if (g_signal_lookup("client-draw", G_OBJECT_TYPE(st.glimagesink_element)) != 0)
    g_signal_connect(st.glimagesink_element, "client-draw", G_CALLBACK(on_client_draw), nullptr);
  watch_audio_sink(st);
  if (st.bus) gst_bus_set_sync_handler(st.bus, on_bus_message, st.pipeline, nullptr);
  return true;
}

}  // namespace latency
