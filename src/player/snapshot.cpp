#include "player/snapshot.h"

#include <fcntl.h>
#include <gst/video/video.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "core/log.h"
#include "protocol/protocol.h"

namespace {

constexpr GstClockTime ENCODE_LIMIT = 3 * GST_SECOND;
std::atomic<bool> busy{false};
std::thread encoder;  // main thread only

void fail(const std::string& path, const std::string& why) {
  log_line("%s%s: %s", protocol::SNAPSHOT_FAILED, path.c_str(), why.c_str());
}

// The frame may be in GPU memory; the conversion brings it down and encodes it.
void encode_and_write(GstSample* frame, std::string path) {
  GstCaps* png_caps = gst_caps_new_empty_simple("image/png");
  GError* error = nullptr;
  GstSample* png = gst_video_convert_sample(frame, png_caps, ENCODE_LIMIT, &error);
  gst_caps_unref(png_caps);
  GstVideoInfo info;
  bool sized = gst_video_info_from_caps(&info, gst_sample_get_caps(frame));
  gst_sample_unref(frame);
  if (!png) {
    fail(path, error ? error->message : "the frame could not be encoded");
    if (error) g_error_free(error);
    busy = false;
    return;
  }
  GstMapInfo map;
  GstBuffer* buffer = gst_sample_get_buffer(png);
  std::string partial = path + ".part";
  bool written = false;
  if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    // Never through a link someone left at the name.
    int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      size_t done = 0;
      while (done < map.size) {
        ssize_t n = write(fd, map.data + done, map.size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      written = close(fd) == 0 && done == map.size;
    }
    gst_buffer_unmap(buffer, &map);
  }
  gst_sample_unref(png);
  if (written && rename(partial.c_str(), path.c_str()) == 0) {
    log_line("%s%s (%dx%d)", protocol::SNAPSHOT_WRITTEN, path.c_str(), sized ? info.width : 0, sized ? info.height : 0);
  } else {
    remove(partial.c_str());
    fail(path, "the file could not be written");
  }
  busy = false;
}

}  // namespace

void handle_snapshot_command(PlayerState& st, const char* path) {
  std::string target = path ? path : "";
  if (target.empty() || target[0] != '/') return fail(target, "the path must be absolute");
  GstSample* frame = nullptr;
  if (st.glimagesink_element) g_object_get(st.glimagesink_element, "last-sample", &frame, nullptr);
  if (!frame) return fail(target, "no picture has been shown yet");
  if (busy.exchange(true)) {
    gst_sample_unref(frame);
    return fail(target, "another snapshot is being taken");
  }
  if (encoder.joinable()) encoder.join();  // the last one has finished: busy was clear
  encoder = std::thread(encode_and_write, frame, target);
}

void finish_snapshot() {
  if (encoder.joinable()) encoder.join();
}
