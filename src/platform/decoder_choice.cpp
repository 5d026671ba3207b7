#include "platform/decoder_choice.h"

#include <gst/gst.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "core/log.h"
#include "core/video_decoder.h"

namespace {

constexpr const char* STATELESS = "v4l2slh264dec";
constexpr const char* STATEFUL = "v4l2h264dec";
constexpr const char* SOFTWARE = "avdec_h264";

bool registered(const char* name) {
  GstElementFactory* factory = gst_element_factory_find(name);
  if (!factory) return false;
  gst_object_unref(factory);
  return true;
}

VideoDecoder decoder_named(const char* name) {
  VideoDecoder d;
  d.element = name;
  GstElementFactory* factory = gst_element_factory_find(name);
  if (factory) {
    const char* klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
    d.hardware = klass && strstr(klass, "Hardware");
    gst_object_unref(factory);
  }
  d.stateless = d.hardware && g_str_has_prefix(name, "v4l2sl");
  // Frame threads on every core: one thread cannot keep up with 1080p60.
  if (d.element == SOFTWARE) d.threads = g_get_num_processors();
  return d;
}

}  // namespace

std::vector<std::string> v4l2_devices(const std::string& dev_dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dev_dir, ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("video", 0) == 0) found.push_back(entry.path().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

void choose_video_decoder(const char* forced) {
  VideoDecoder d;
  if (forced && registered(forced)) {
    d = decoder_named(forced);
    d.forced = true;
  } else {
    if (forced) log_line("ERROR: --decoder %s: no such element is registered - choosing by what is", forced);
    d = decoder_named(registered(STATELESS) ? STATELESS : registered(STATEFUL) ? STATEFUL : SOFTWARE);
  }
  set_video_decoder(d);
  log_line("%s", video_decoder_line().c_str());
  if (d.hardware || d.forced) return;
  std::vector<std::string> devices = v4l2_devices();
  if (!devices.empty())
    log_line("WARNING: Decoding H.264 in software with %s although the board has V4L2 devices (%s...) - "
             "its decoder's element (%s or %s) is not registered",
             d.element.c_str(), devices.front().c_str(), STATELESS, STATEFUL);
}
