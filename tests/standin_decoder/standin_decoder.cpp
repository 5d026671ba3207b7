// A GStreamer plug-in for the tests: an element under the name of a board's
// V4L2 H.264 decoder, with that element's rank, class and sink caps, that
// decodes with the software decoder inside. Built twice: with
// STANDIN_STATELESS it registers v4l2slh264dec (v4l2codecs' stateless
// decoder), otherwise v4l2h264dec (the stateful one, with the caps a
// Raspberry Pi 4's decoder reports).
#include <gst/gst.h>

#ifdef STANDIN_STATELESS
#define STANDIN_NAME "v4l2slh264dec"
#define STANDIN_TYPE "TestStandinV4l2SlH264Dec"
#define STANDIN_LONG_NAME "V4L2 Stateless H.264 Decoder (test stand-in)"
#define STANDIN_SINK_CAPS "video/x-h264, stream-format=(string){ avc, avc3, byte-stream }, alignment=(string)au"
#define STANDIN_PLUGIN standin_stateless  // named as its file: libstandin_stateless.so
#else
#define STANDIN_NAME "v4l2h264dec"
#define STANDIN_TYPE "TestStandinV4l2H264Dec"
#define STANDIN_LONG_NAME "V4L2 H264 Decoder (test stand-in)"
#define STANDIN_SINK_CAPS                                                                                       \
  "video/x-h264, stream-format=(string)byte-stream, alignment=(string)au, "                                   \
  "profile=(string){ constrained-baseline, baseline, main, high }, "                                          \
  "level=(string){ 1, 1b, 1.1, 1.2, 1.3, 2, 2.1, 2.2, 3, 3.1, 3.2, 4, 4.1, 4.2 }, width=(int)[ 32, 1920 ], " \
  "height=(int)[ 32, 1920 ]"
#define STANDIN_PLUGIN standin_stateful
#endif

namespace {

struct Standin {
  GstBin parent;
};
struct StandinClass {
  GstBinClass parent_class;
};

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(STANDIN_SINK_CAPS));
GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));

void class_init(gpointer klass, gpointer) {
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, STANDIN_LONG_NAME, "Codec/Decoder/Video/Hardware",
                                        "Software decoding under a board decoder's name, for tests", "tests");
}

void ghost(GstBin* bin, GstElement* inner, const char* name, GstStaticPadTemplate* templ) {
  GstPad* target = gst_element_get_static_pad(inner, name);
  gst_element_add_pad(GST_ELEMENT(bin), gst_ghost_pad_new_from_template(name, target, gst_static_pad_template_get(templ)));
  gst_object_unref(target);
}

void instance_init(GTypeInstance* instance, gpointer) {
  GstBin* bin = GST_BIN(instance);
  GstElement* decoder = gst_element_factory_make("avdec_h264", nullptr);
  if (!decoder) return;
  gst_bin_add(bin, decoder);
  ghost(bin, decoder, "sink", &sink_template);
  ghost(bin, decoder, "src", &src_template);
}

GType standin_type() {
  static GType type = 0;
  if (g_once_init_enter(&type)) {
    GType t = g_type_register_static_simple(GST_TYPE_BIN, STANDIN_TYPE, sizeof(StandinClass), class_init,
                                            sizeof(Standin), instance_init, static_cast<GTypeFlags>(0));
    g_once_init_leave(&type, t);
  }
  return type;
}

gboolean plugin_init(GstPlugin* plugin) {
  // The rank the V4L2 decoders register with.
  return gst_element_register(plugin, STANDIN_NAME, GST_RANK_PRIMARY + 1, standin_type());
}

}  // namespace

#define PACKAGE "video_player_tests"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, STANDIN_PLUGIN, "H.264 decoder stand-in for tests",
                  plugin_init, "1.0", "LGPL", PACKAGE, "https://gstreamer.freedesktop.org")
