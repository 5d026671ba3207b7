#include "core/silent_audio.h"

#include <string>

#include "core/gst_holders.h"
#include "core/log.h"

namespace {

constexpr int RATE = 48000;
constexpr int FRAME_BYTES = 4;  // two channels of 16 bits
// As a compressed sound track's frames: a placed cut is no coarser with silence.
constexpr int SAMPLES_PER_BUFFER = 1024;

// Ends the stream at the file's length: the source makes silence for ever,
// so its last buffer is cut to the length and the next one ends the stream
// (the source sends its end of stream on that answer, after a seek too).
GstPadProbeReturn end_at_length(GstPad*, GstPadProbeInfo* info, gpointer data) {
  GstClockTime length = *static_cast<GstClockTime*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!buffer || !GST_BUFFER_PTS_IS_VALID(buffer)) return GST_PAD_PROBE_OK;
  GstClockTime pts = GST_BUFFER_PTS(buffer);
  if (pts >= length) {
    gst_buffer_unref(buffer);
    GST_PAD_PROBE_INFO_DATA(info) = nullptr;
    GST_PAD_PROBE_INFO_FLOW_RETURN(info) = GST_FLOW_EOS;
    return GST_PAD_PROBE_HANDLED;
  }
  GstClockTime duration = GST_BUFFER_DURATION(buffer);
  if (GST_CLOCK_TIME_IS_VALID(duration) && pts + duration > length) {
    guint64 frames = gst_util_uint64_scale_int(length - pts, RATE, GST_SECOND);
    buffer = gst_buffer_make_writable(buffer);
    gst_buffer_resize(buffer, 0, static_cast<gssize>(frames * FRAME_BYTES));
    GST_BUFFER_DURATION(buffer) = length - pts;
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
  }
  return GST_PAD_PROBE_OK;
}

void free_length(gpointer data) { delete static_cast<GstClockTime*>(data); }

}  // namespace

GstElement* make_silent_audio(GstBin* bin, GstClockTime length) {
  GError* error = nullptr;
  std::string description = "audiotestsrc wave=silence samplesperbuffer=" + std::to_string(SAMPLES_PER_BUFFER) +
                            " ! capsfilter caps=\"audio/x-raw,format=S16LE,layout=interleaved,channels=2,rate=" +
                            std::to_string(RATE) + "\"";
  GstElement* silence = gst_parse_bin_from_description(description.c_str(), TRUE, &error);
  if (!silence) {
    log_line("[AUDIO] ERROR: No source of silence: %s", error ? error->message : "unknown");
    if (error) g_error_free(error);
    return nullptr;
  }
  if (GST_CLOCK_TIME_IS_VALID(length)) {
    PadRef src(gst_element_get_static_pad(silence, "src"));
    gst_pad_add_probe(src.get(), GST_PAD_PROBE_TYPE_BUFFER, end_at_length, new GstClockTime(length), free_length);
  }
  if (!gst_bin_add(bin, silence)) {
    gst_object_unref(silence);
    return nullptr;
  }
  return silence;
}

GstPad* silent_audio_src(GstElement* silence) { return gst_element_get_static_pad(silence, "src"); }

GstClockTime demuxer_length(GstElement* demuxer) {
  GstClockTime longest = GST_CLOCK_TIME_NONE;
  GstIterator* pads = gst_element_iterate_src_pads(demuxer);
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(pads, &item) == GST_ITERATOR_OK) {
    gint64 duration = -1;
    if (gst_pad_query_duration(GST_PAD(g_value_get_object(&item)), GST_FORMAT_TIME, &duration) && duration > 0 &&
        (!GST_CLOCK_TIME_IS_VALID(longest) || static_cast<GstClockTime>(duration) > longest))
      longest = static_cast<GstClockTime>(duration);
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(pads);
  if (!GST_CLOCK_TIME_IS_VALID(longest)) {
    gint64 duration = -1;
    if (gst_element_query_duration(demuxer, GST_FORMAT_TIME, &duration) && duration > 0) longest = duration;
  }
  return longest;
}
