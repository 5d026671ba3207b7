#include "core/video_decoder.h"

#include <cstring>
#include <initializer_list>

#include "core/gst_holders.h"
#include "protocol/protocol.h"

namespace {

VideoDecoder g_decoder;

// The decoder's sink caps without what h264parse converts anyway: what is
// left is what the file itself must match.
GstCaps* accepted_caps(const std::string& element) {
  GstElementFactory* factory = gst_element_factory_find(element.c_str());
  if (!factory) return nullptr;
  GstCaps* caps = gst_caps_new_empty();
  for (const GList* l = gst_element_factory_get_static_pad_templates(factory); l; l = l->next) {
    auto* templ = static_cast<GstStaticPadTemplate*>(l->data);
    if (templ->direction != GST_PAD_SINK) continue;
    caps = gst_caps_merge(caps, gst_static_pad_template_get_caps(templ));
  }
  gst_object_unref(factory);
  caps = gst_caps_make_writable(caps);
  for (guint i = 0; i < gst_caps_get_size(caps); ++i)
    gst_structure_remove_fields(gst_caps_get_structure(caps, i), "stream-format", "alignment", "codec_data", nullptr);
  return caps;
}

// The stream's own figures, in caps of their own.
GstCaps* stream_figures(const GstStructure* s, std::initializer_list<const char*> fields) {
  GstCaps* caps = gst_caps_new_empty_simple("video/x-h264");
  for (const char* f : fields)
    if (const GValue* v = gst_structure_get_value(s, f)) gst_caps_set_value(caps, f, v);
  return caps;
}

std::string plain(const GValue* v) {
  GStr text(gst_value_serialize(v));
  std::string out = text ? text.get() : "";
  for (const char* tag : {"(string)", "(int)"})
    for (size_t at; (at = out.find(tag)) != std::string::npos;) out.erase(at, strlen(tag));
  return out;
}

// What the decoder takes for a field, as said in a refusal.
std::string taken(const GstCaps* accepted, const char* field) {
  std::string out;
  for (guint i = 0; i < gst_caps_get_size(accepted); ++i) {
    const GValue* v = gst_structure_get_value(gst_caps_get_structure(accepted, i), field);
    if (!v) continue;
    if (!out.empty()) out += " or ";
    out += plain(v);
  }
  return out;
}

}  // namespace

const VideoDecoder& video_decoder() { return g_decoder; }

void set_video_decoder(const VideoDecoder& decoder) { g_decoder = decoder; }

std::string video_decoder_description() {
  if (g_decoder.threads > 0) return g_decoder.element + " max-threads=" + std::to_string(g_decoder.threads);
  return g_decoder.element;
}

std::string video_decoder_line() {
  std::string kind;
  if (!g_decoder.hardware)
    kind = "software, " + std::to_string(g_decoder.threads) + (g_decoder.threads == 1 ? " thread" : " threads");
  else
    kind = g_decoder.stateless ? "hardware, stateless" : "hardware, stateful";
  if (g_decoder.forced) kind += ", forced with --decoder";
  return std::string(protocol::DECODER_CHOSEN) + g_decoder.element + " (" + kind + ")";
}

std::string decoder_refusal(const GstCaps* stream_caps) {
  if (!stream_caps || gst_caps_get_size(stream_caps) == 0) return "";
  GstCaps* accepted = accepted_caps(g_decoder.element);
  if (!accepted) return "";
  const GstStructure* s = gst_caps_get_structure(stream_caps, 0);
  std::string why;
  GstCaps* whole = stream_figures(s, {"profile", "level", "width", "height"});
  if (!gst_caps_can_intersect(whole, accepted)) {
    // The picture size first: it is what a board's decoder most often lacks.
    GstCaps* size = stream_figures(s, {"width", "height"});
    if (!gst_caps_can_intersect(size, accepted)) {
      int w = 0, h = 0;
      gst_structure_get_int(s, "width", &w);
      gst_structure_get_int(s, "height", &h);
      why = "picture size " + std::to_string(w) + "x" + std::to_string(h) + " is beyond what " + g_decoder.element +
            " decodes (width " + taken(accepted, "width") + ", height " + taken(accepted, "height") + ")";
    }
    gst_caps_unref(size);
    for (const char* field : {"profile", "level"}) {
      if (!why.empty() || !gst_structure_has_field(s, field)) continue;
      GstCaps* one = stream_figures(s, {field});
      if (!gst_caps_can_intersect(one, accepted))
        why = std::string(field) + " " + plain(gst_structure_get_value(s, field)) + " is beyond what " +
              g_decoder.element + " decodes (" + field + " " + taken(accepted, field) + ")";
      gst_caps_unref(one);
    }
    if (why.empty()) {
      GStr figures(gst_caps_to_string(whole));
      why = std::string(figures ? figures.get() : "its stream") + " is beyond what " + g_decoder.element + " decodes";
    }
  }
  gst_caps_unref(whole);
  gst_caps_unref(accepted);
  return why;
}
