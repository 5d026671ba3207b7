// Makes a still picture into a short H.264 clip in MP4 that the player plays
// like any other file:
//   signage_picture_clip PICTURE OUT.mp4 WIDTH HEIGHT FPS SECONDS ROTATE
// The picture is turned upright by its orientation tag, filled into
// WIDTHxHEIGHT as the screen shows it (kept in shape, black bars, any
// transparency on black), then turned back against the player's --rotate
// ROTATE, which turns every file on its way to the screen. The manager runs
// it as a process of its own, so that a picture that breaks a decoder or
// takes all its memory costs this process only. A line on standard error
// says why it failed (status 1); status 2 is a wrong command line.
#include <gst/gst.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// The GL sink's rotate-method turns the clip clockwise by this much: the
// clip is turned the other way first. (videoflip's older "method" property
// is left alone by a description here: "video-direction" it is.)
const char* undo_rotation(const std::string& rotate) {
  if (rotate == "90") return "90l";
  if (rotate == "180") return "180";
  if (rotate == "270") return "90r";
  if (rotate == "horizontal-flip") return "horiz";
  if (rotate == "vertical-flip") return "vert";
  return rotate == "0" ? "identity" : nullptr;
}

bool quarter_turn(const std::string& rotate) { return rotate == "90" || rotate == "270"; }

bool is_jpeg(const char* path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char head[3] = {0, 0, 0};
  in.read(reinterpret_cast<char*>(head), sizeof head);
  return in.gcount() == 3 && head[0] == 0xff && head[1] == 0xd8 && head[2] == 0xff;
}

int positive(const char* text, int max) {
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  return *end == '\0' && v > 0 && v <= max ? static_cast<int>(v) : 0;
}

int fail(const std::string& why) {
  fprintf(stderr, "%s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8) {
    fprintf(stderr, "usage: %s PICTURE OUT.mp4 WIDTH HEIGHT FPS SECONDS ROTATE\n", argv[0]);
    return 2;
  }
  int width = positive(argv[3], 8192), height = positive(argv[4], 8192), fps = positive(argv[5], 120);
  double seconds = strtod(argv[6], nullptr);
  const char* undo = undo_rotation(argv[7]);
  if (!width || !height || !fps || !(seconds > 0) || seconds > 24 * 3600 || !undo || width % 2 || height % 2) {
    fprintf(stderr, "a wrong value on the command line\n");
    return 2;
  }
  gst_init(&argc, &argv);
  // As the screen shows it: a screen turned a quarter is as tall as the clip is wide.
  int shown_w = quarter_turn(argv[7]) ? height : width, shown_h = quarter_turn(argv[7]) ? width : height;
  long frames = static_cast<long>(seconds * fps + 0.5);
  if (frames < 1) frames = 1;
  // jpegparse reads the EXIF orientation that jpegdec leaves alone; decodebin
  // does not pick it by itself. The picture is scaled and converted once;
  // imagefreeze then repeats the finished frame. x264's fastest preset
  // without look-ahead (no B-frames, as in the files around it) takes a
  // tenth of the time and a third of the memory of its "faster" one, and its
  // repeated frames are skipped blocks; a constant quality keeps the first
  // frame sharp.
  std::string description =
      std::string("filesrc name=src ! ") + (is_jpeg(argv[1]) ? "jpegparse ! " : "") +
      "decodebin ! videoflip video-direction=auto ! videoconvert ! videoscale add-borders=true ! "
      "video/x-raw,width=" + std::to_string(shown_w) + ",height=" + std::to_string(shown_h) +
      ",pixel-aspect-ratio=1/1 ! compositor background=black ! videoflip video-direction=" + undo +
      " ! videoconvert ! video/x-raw,format=I420 ! imagefreeze num-buffers=" + std::to_string(frames) +
      " ! video/x-raw,framerate=" + std::to_string(fps) + "/1 ! x264enc tune=stillimage+zerolatency "
      "speed-preset=ultrafast pass=qual quantizer=20 key-int-max=" + std::to_string(2 * fps) + " ! video/x-h264,profile=high ! h264parse ! mp4mux faststart=true ! "
      "filesink name=out";
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (!pipeline || error) return fail(std::string("cannot build the clip's pipeline: ") + (error ? error->message : "?"));
  GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  GstElement* out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
  g_object_set(src, "location", argv[1], nullptr);
  g_object_set(out, "location", argv[2], nullptr);
  gst_object_unref(src);
  gst_object_unref(out);

  int status = 0;
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    status = fail("not a picture that can be decoded");
  } else {
    GstBus* bus = gst_element_get_bus(pipeline);
    // A decoder's warning is a picture cut short or damaged: it is refused
    // rather than shown half.
    GstMessage* msg = gst_bus_timed_pop_filtered(
        bus, GST_CLOCK_TIME_NONE, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_WARNING));
    if (msg && GST_MESSAGE_TYPE(msg) != GST_MESSAGE_EOS) {
      GError* err = nullptr;
      if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR)
        gst_message_parse_error(msg, &err, nullptr);
      else
        gst_message_parse_warning(msg, &err, nullptr);
      status = fail(std::string("not a picture that can be decoded: ") + (err ? err->message : "?"));
      if (err) g_error_free(err);
    }
    if (msg) gst_message_unref(msg);
    gst_object_unref(bus);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return status;
}
