#include "platform/decoder_standin.h"

#include <gst/gst.h>

#include "core/log.h"

namespace {

constexpr const char* DECODER_NAME = "v4l2slh264dec";
constexpr const char* SOFTWARE_DECODER = "avdec_h264";

struct StandinDecoder {
  GstBin parent;
};

struct StandinDecoderClass {
  GstBinClass parent_class;
};

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-h264, stream-format=(string)byte-stream, alignment=(string)au"));
GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));

GType standin_decoder_get_type();

void standin_decoder_class_init(gpointer klass, gpointer) {
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "H.264 decoder (software stand-in)",
                                        "Codec/Decoder/Video", "Software H.264 decoding under the board decoder's name",
                                        "video_player");
}

void standin_decoder_init(GTypeInstance* instance, gpointer) {
  GstBin* bin = GST_BIN(instance);
  GstElement* decoder = gst_element_factory_make(SOFTWARE_DECODER, nullptr);
  if (!decoder) return;
  gst_bin_add(bin, decoder);

  GstPad* target_sink = gst_element_get_static_pad(decoder, "sink");
  GstPad* ghost_sink = gst_ghost_pad_new_from_template(
      "sink", target_sink, gst_static_pad_template_get(&sink_template));
  gst_element_add_pad(GST_ELEMENT(bin), ghost_sink);
  gst_object_unref(target_sink);

  GstPad* target_src = gst_element_get_static_pad(decoder, "src");
  GstPad* ghost_src =
      gst_ghost_pad_new_from_template("src", target_src, gst_static_pad_template_get(&src_template));
  gst_element_add_pad(GST_ELEMENT(bin), ghost_src);
  gst_object_unref(target_src);
}

GType standin_decoder_get_type() {
  static GType type = 0;
  if (g_once_init_enter(&type)) {
    GType t = g_type_register_static_simple(GST_TYPE_BIN, "VideoPlayerStandinH264Dec", sizeof(StandinDecoderClass),
                                            standin_decoder_class_init, sizeof(StandinDecoder),
                                            standin_decoder_init, static_cast<GTypeFlags>(0));
    g_once_init_leave(&type, t);
  }
  return type;
}

}  // namespace

bool ensure_h264_decoder_available() {
  GstElementFactory* existing = gst_element_factory_find(DECODER_NAME);
  if (existing) {
    gst_object_unref(existing);
    return false;
  }
  if (!gst_element_register(nullptr, DECODER_NAME, GST_RANK_NONE, standin_decoder_get_type())) return false;
  log_line("WARNING: %s not available - registered a software stand-in around %s", DECODER_NAME, SOFTWARE_DECODER);
  return true;
}
