#include "core/pipeline_setup.h"

#include <cstring>

#include "core/gst_holders.h"
#include "core/log.h"
#include "core/silent_audio.h"
#include "core/sound_output.h"
#include "core/video_decoder.h"

namespace {

constexpr const char* QUEUE_LIMITS = "max-size-time=30000000000 max-size-buffers=0 max-size-bytes=0";

bool starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

std::string quoted(const char* text) { return "\"" + escape_for_description(text ? text : "") + "\""; }

}  // namespace

std::string location_extension(const char* location) {
  if (!location) return "";
  const char* dot = strrchr(location, '.');
  return dot ? std::string(dot) : std::string();
}

SourceKind classify_location(const char* location) {
  if (!location) return SourceKind::Synthetic;
  if (starts_with(location, "http://") || starts_with(location, "https://")) return SourceKind::HttpStream;
  if (starts_with(location, "/dev/video")) return SourceKind::Camera;
  // Cameras and card readers name files in capitals as often as not.
  std::string ext = location_extension(location);
  GStr lower(g_ascii_strdown(ext.c_str(), -1));
  if (g_strcmp0(lower.get(), ".mkv") == 0) return SourceKind::Matroska;
  if (g_strcmp0(lower.get(), ".mp4") == 0) return SourceKind::Mp4;
  if (g_strcmp0(lower.get(), ".webm") == 0) return SourceKind::WebM;
  return SourceKind::Other;
}

std::string escape_for_description(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string file_uri_for(const char* location) {
  // Escaped as an address needs it: a "#" or "%" in a name is not taken for
  // a fragment or an escape; a relative path is made absolute.
  GStr uri(location ? gst_filename_to_uri(location, nullptr) : nullptr);
  if (uri) return uri.get();
  return std::string("file://") + (location ? location : "");
}

std::string startup_description(SourceKind kind, const char* location, gboolean no_sound) {
  const std::string q = std::string(" ") + QUEUE_LIMITS;
  switch (kind) {
    case SourceKind::Synthetic:
      // A black picture at one frame per second; videotestsrc makes frames of the size the caps announce.
      return "videotestsrc pattern=black ! video/x-raw,format=I420,width=1920,height=1080,framerate=1/1 ! "
             "videoconvert ! x264enc bitrate=100 speed-preset=ultrafast tune=zerolatency ! h264parse ! "
             "input-selector name=selector ! " + video_decoder_description() + " ! glupload ! glimagesink name=videosink";
    case SourceKind::HttpStream:
      return "souphttpsrc location=" + quoted(location) + " ! hlsdemux ! tsdemux name=demux demux. ! queue" + q +
             " ! h264parse ! " + video_decoder_description() + " ! glupload ! glimagesink sync=false demux. ! queue" + q +
             " ! aacparse ! avdec_aac ! audioconvert ! " + sound_output_description();
    case SourceKind::Camera:
      return "v4l2src device=" + quoted(location) +
             " ! image/jpeg,width=1280,height=720,framerate=30/1 ! jpegparse ! jpegdec ! glupload ! "
             "glimagesink sync=false";
    case SourceKind::Matroska:
      if (no_sound)
        return "filesrc location=" + quoted(location) + " ! matroskademux name=demux demux.video_0 ! queue" + q +
               " ! h264parse ! " + video_decoder_description() + " ! glupload ! glimagesink sync=true name=videosink";
      return "filesrc location=" + quoted(location) + " ! matroskademux name=demux demux.video_0 ! queue" + q +
             " ! h264parse ! " + video_decoder_description() + " ! glupload ! glimagesink name=videosink demux.audio_0 ! queue" + q +
             " ! decodebin ! audioconvert ! " + sound_output_description() + " ";
    case SourceKind::Mp4:
      if (no_sound)
        return "filesrc name=filesrc0 location=" + quoted(location) +
               " ! qtdemux name=demux0 demux0.video_0 ! queue" + q +
               " ! h264parse ! input-selector name=selector ! " + video_decoder_description() + " ! glupload ! glimagesink name=videosink";
      return "filesrc name=filesrc0 location=" + quoted(location) + " ! qtdemux name=demux0 demux0.video_0 ! queue" +
             q +
             " ! h264parse ! input-selector name=selector ! " + video_decoder_description() + " ! glupload ! glimagesink sync=true "
             "name=videosink demux0.audio_0 ! queue" +
             q +
             " ! decodebin ! audioconvert ! " STEREO_CAPS " ! input-selector name=audio_selector ! "
             "audioconvert ! " + sound_output_description();
    case SourceKind::WebM:
      return "filesrc location=" + quoted(location) + " ! decodebin ! glupload ! glimagesink name=videosink";
    case SourceKind::Other:
      break;
  }
  return "";
}

std::string switching_description(const char* path, gboolean no_sound) {
  const std::string q = std::string(" ") + QUEUE_LIMITS;
  std::string video = "filesrc name=filesrc0 location=" + quoted(path) +
                      " ! qtdemux name=demux0 demux0.video_0 ! queue name=queue0" + q +
                      " ! h264parse name=h264parse0 ! input-selector name=selector ! " + video_decoder_description() + " ! glupload ! "
                      "glimagesink sync=true name=videosink";
  if (no_sound) return video;
  return video + " demux0.audio_0 ! queue name=audio_queue0" + q +
         " ! decodebin name=decodebin0 ! audioconvert name=audioconvert0 ! " STEREO_CAPS " ! "
         "input-selector name=audio_selector ! audioconvert name=audio_output_convert ! " + sound_output_description();
}

void use_system_clock(GstElement* pipeline) {
  if (!GST_IS_PIPELINE(pipeline)) return;
  GstClock* clock = gst_system_clock_obtain();
  gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock);
  gst_object_unref(clock);
}

GstElement* build_startup_pipeline(const char* location, gboolean no_sound) {
  SourceKind kind = classify_location(location);
  if (kind == SourceKind::Other) {
    GstElement* playbin = gst_element_factory_make("playbin", "player");
    if (!playbin) return nullptr;
    g_object_set(playbin, "uri", file_uri_for(location).c_str(), nullptr);
    if (no_sound) {
      GstElement* fakesink = gst_element_factory_make("fakesink", nullptr);
      if (fakesink) g_object_set(playbin, "audio-sink", fakesink, nullptr);
    }
    use_system_clock(playbin);
    return playbin;
  }
  std::string description = startup_description(kind, location, no_sound);
  GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
  if (pipeline) {
    guard_demuxers(pipeline);
    use_system_clock(pipeline);
  }
  return pipeline;
}

void discover_elements(PlayerState& st) {
  for_each_element(gst_bin_iterate_elements(GST_BIN(st.pipeline)), [&st](GstElement* child) {
    const char* kind = factory_name(child);
    auto replace = [child](GstElement*& field) {
      if (field) gst_object_unref(field);
      field = GST_ELEMENT(gst_object_ref(child));
    };
    if (strcmp(kind, "filesrc") == 0) {
      replace(st.filesrc);
      replace(g_filesrc);
    } else if (strcmp(kind, "input-selector") == 0) {
      GStr name(gst_object_get_name(GST_OBJECT(child)));
      if (name && strcmp(name.get(), "audio_selector") == 0) {
        replace(st.audio_selector);
        log_line("DEBUG: audio_selector found: %p", static_cast<void*>(child));
      } else {
        replace(st.input_selector);
        log_line("DEBUG: input_selector found: %p", static_cast<void*>(child));
      }
    } else if (strcmp(kind, "glimagesink") == 0) {
      replace(st.glimagesink_element);
      replace(g_glimagesink);
      g_object_set(child, "force-aspect-ratio", TRUE, "sync", TRUE, nullptr);
    } else if (strcmp(kind, "glupload") == 0) {
      replace(st.glupload);
    }
  });
}

namespace {

bool is_fed_into_decodebin(GstElement* queue) {
  PadRef src(gst_element_get_static_pad(queue, "src"));
  if (!src) return false;
  PadRef peer(gst_pad_get_peer(src.get()));
  if (!peer) return false;
  ElementRef downstream(gst_pad_get_parent_element(peer.get()));
  if (!downstream) return false;
  return strcmp(factory_name(downstream.get()), "decodebin") == 0;
}

// A file without sound gets silence as long as itself (an empty stream when
// its length is not known), so that the pipeline prerolls and the file
// offers the same streams as one with sound.
void feed_audio_queue(GstBin* bin, GstElement* demuxer, GstPad* queue_sink) {
  GstClockTime length = demuxer_length(demuxer);
  GstElement* silence = GST_CLOCK_TIME_IS_VALID(length) ? make_silent_audio(bin, length) : nullptr;
  PadRef src(silence ? silent_audio_src(silence) : nullptr);
  if (!src || GST_PAD_LINK_FAILED(gst_pad_link(src.get(), queue_sink))) {
    if (silence) {
      gst_element_set_state(silence, GST_STATE_NULL);
      gst_bin_remove(bin, silence);
    }
    log_line("[AUDIO] No audio stream in this file - audio branch ends at once");
    send_empty_audio_stream(queue_sink);
    return;
  }
  g_object_set_data(G_OBJECT(demuxer), SILENT_SOURCE_KEY, silence);
  gst_element_sync_state_with_parent(silence);
  log_line("[AUDIO] No audio stream in this file - silence of %.3f s in its place",
           static_cast<double>(length) / GST_SECOND);
}

void on_demuxer_no_more_pads(GstElement* demuxer, gpointer) {
  GstObject* parent = gst_object_get_parent(GST_OBJECT(demuxer));
  if (!parent) return;
  if (GST_IS_BIN(parent)) {
    for_each_element(gst_bin_iterate_elements(GST_BIN(parent)), [&](GstElement* child) {
      if (strcmp(factory_name(child), "queue") != 0) return;
      PadRef sink(gst_element_get_static_pad(child, "sink"));
      if (sink && !gst_pad_is_linked(sink.get()) && is_fed_into_decodebin(child))
        feed_audio_queue(GST_BIN(parent), demuxer, sink.get());
    });
  }
  gst_object_unref(parent);
}

GstPadProbeReturn drop_data(GstPad*, GstPadProbeInfo*, gpointer) { return GST_PAD_PROBE_DROP; }

// The description's own links to dynamic pads are made once; when the file
// source is pointed at another file, the demuxer and the decodebin add their
// pads anew, and these are linked again to where the first ones went.
void remember_or_relink(GstElement* element, GstPad* pad, const char* name) {
  std::string key = std::string("linked-to:") + name;
  if (GstPad* peer = gst_pad_get_peer(pad)) {
    g_object_set_data_full(G_OBJECT(element), key.c_str(), peer, gst_object_unref);
    return;
  }
  auto* target = static_cast<GstPad*>(g_object_get_data(G_OBJECT(element), key.c_str()));
  if (target && !gst_pad_is_linked(target)) gst_pad_link(pad, target);
}

void on_demuxer_pad_added(GstElement* demuxer, GstPad* pad, gpointer) {
  GStr name(gst_object_get_name(GST_OBJECT(pad)));
  if (!name) return;
  if (!g_str_has_prefix(name.get(), "video_") && !g_str_has_prefix(name.get(), "audio_")) {
    discard_stream(pad);
    return;
  }
  remember_or_relink(demuxer, pad, name.get());
}

// A decodebin numbers its pads on, so its one output is remembered by role.
void on_decodebin_pad_added(GstElement* decodebin, GstPad* pad, gpointer) { remember_or_relink(decodebin, pad, "src"); }

}  // namespace

void send_empty_audio_stream(GstPad* pad) {
  gst_pad_send_event(pad, gst_event_new_stream_start("video-player-no-audio"));
  GstCaps* caps = gst_caps_from_string("audio/x-raw,format=S16LE,layout=interleaved,rate=48000,channels=2");
  gst_pad_send_event(pad, gst_event_new_caps(caps));
  gst_caps_unref(caps);
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  gst_pad_send_event(pad, gst_event_new_segment(&segment));
  gst_pad_send_event(pad, gst_event_new_eos());
}

const char* state_change_text(GstStateChangeReturn r) {
  switch (r) {
    case GST_STATE_CHANGE_SUCCESS:
      return "SUCCESS";
    case GST_STATE_CHANGE_ASYNC:
      return "ASYNC";
    case GST_STATE_CHANGE_FAILURE:
      return "FAILURE";
    default:
      return "NO_PREROLL";
  }
}

void discard_stream(GstPad* pad) {
  gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                    drop_data, nullptr, nullptr);
}

void guard_demuxers(GstElement* pipeline) {
  if (!GST_IS_BIN(pipeline)) return;
  for_each_element(gst_bin_iterate_elements(GST_BIN(pipeline)), [](GstElement* child) {
    const char* name = factory_name(child);
    if (strcmp(name, "qtdemux") == 0 || strcmp(name, "matroskademux") == 0) {
      g_signal_connect(child, "no-more-pads", G_CALLBACK(on_demuxer_no_more_pads), nullptr);
      g_signal_connect(child, "pad-added", G_CALLBACK(on_demuxer_pad_added), nullptr);
    } else if (strcmp(name, "decodebin") == 0) {
      g_signal_connect(child, "pad-added", G_CALLBACK(on_decodebin_pad_added), nullptr);
    }
  });
}
