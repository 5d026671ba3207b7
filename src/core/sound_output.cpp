#include "core/sound_output.h"

#include <gst/audio/audio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/gst_holders.h"
#include "core/log.h"
#include "core/pipeline_setup.h"

namespace {

std::string g_device;
bool g_device_missing = false;  // main thread
std::atomic<bool> g_device_found{false};
// Shared with a detached thread, never destroyed: the player may end by
// exit() from any thread while it waits.
struct Lookout {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
};
Lookout* g_lookout = nullptr;
constexpr auto LOOKOUT_PERIOD = std::chrono::seconds(3);
std::atomic<double> g_volume{1.0};
std::atomic<bool> g_mute{false};

constexpr const char* RAMP_KEY = "video-player-sound-ramp";
constexpr GstClockTime DEVICE_CHECK_TIMEOUT = 5 * GST_SECOND;

// Whether the device takes a stream: opening it is not enough (ALSA's pulse
// plug-in opens for a sink that does not exist and fails when it is set up).
std::string device_fault(const std::string& device) {
  std::string description =
      "audiotestsrc num-buffers=1 ! audioconvert ! alsasink device=\"" + escape_for_description(device) + "\"";
  GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
  if (!pipeline) return "alsasink cannot be made";
  std::string fault;
  gst_element_set_state(pipeline, GST_STATE_PAUSED);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* msg = gst_bus_timed_pop_filtered(
      bus, DEVICE_CHECK_TIMEOUT, static_cast<GstMessageType>(GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_ERROR));
  if (!msg) {
    fault = "it did not answer within 5 s";
  } else if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
    GError* err = nullptr;
    gst_message_parse_error(msg, &err, nullptr);
    fault = err ? err->message : "error";
    if (err) g_error_free(err);
  }
  if (msg) gst_message_unref(msg);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return fault;
}

double effective(double volume, bool mute) { return mute ? 0.0 : volume; }

// A ramp's state, on the volume element's streaming thread alone once the
// pipeline runs.
struct Ramp {
  double applied = 1.0;  // the gain the element's own settings give when not ramping
  double from = 1.0, to = 1.0;
  double to_volume = 1.0;
  bool to_mute = false;
  guint64 done = 0, total = 0;
  bool ramping = false;
  // The ramp reached its end within the last buffer: the element takes the
  // level over from the next one (set now, it would apply it to the buffer
  // the ramp has just scaled, twice).
  bool finishing = false;
};

template <typename T>
void scale(gpointer data, gsize bytes, int channels, Ramp& r, double (*convert)(T, double)) {
  T* samples = static_cast<T*>(data);
  gsize frames = bytes / (sizeof(T) * channels);
  for (gsize f = 0; f < frames; ++f) {
    double t = r.total ? std::min(1.0, static_cast<double>(r.done + f) / r.total) : 1.0;
    double gain = r.from + (r.to - r.from) * t;
    for (int c = 0; c < channels; ++c) samples[f * channels + c] = static_cast<T>(convert(samples[f * channels + c], gain));
  }
  r.done += frames;
}

double scale_s16(gint16 s, double g) { return std::lround(std::clamp(s * g, -32768.0, 32767.0)); }
double scale_s32(gint32 s, double g) { return std::llround(std::clamp(s * g, -2147483648.0, 2147483647.0)); }
double scale_f32(float s, double g) { return s * g; }

GstPadProbeReturn follow_level(GstPad* pad, GstPadProbeInfo* info, gpointer element) {
  auto* r = static_cast<Ramp*>(g_object_get_data(G_OBJECT(element), RAMP_KEY));
  if (!r) return GST_PAD_PROBE_OK;
  if (r->finishing) {
    r->finishing = false;
    r->ramping = false;
    r->applied = r->to;
    g_object_set(element, "volume", r->to_volume, "mute", r->to_mute, nullptr);
  }
  double volume = g_volume.load();
  bool mute = g_mute.load();
  double target = effective(volume, mute);
  if (!r->ramping && target == r->applied) return GST_PAD_PROBE_OK;
  GstCaps* caps = gst_pad_get_current_caps(pad);
  const GstStructure* s = caps ? gst_caps_get_structure(caps, 0) : nullptr;
  const char* format = s ? gst_structure_get_string(s, "format") : nullptr;
  int rate = 0, channels = 0;
  if (s) {
    gst_structure_get_int(s, "rate", &rate);
    gst_structure_get_int(s, "channels", &channels);
  }
  bool known = format && rate > 0 && channels > 0 &&
               (!strcmp(format, "S16LE") || !strcmp(format, "S32LE") || !strcmp(format, "F32LE"));
  std::string fmt = format ? format : "";
  if (caps) gst_caps_unref(caps);
  if (!known) {
    // A format this ramp does not know: the new level at once.
    g_object_set(element, "volume", volume, "mute", mute, nullptr);
    r->applied = target;
    r->ramping = false;
    return GST_PAD_PROBE_OK;
  }
  if (!r->ramping || target != r->to) {
    double now = r->ramping ? r->from + (r->to - r->from) * std::min(1.0, static_cast<double>(r->done) / r->total)
                            : r->applied;
    if (!r->ramping) g_object_set(element, "volume", 1.0, "mute", FALSE, nullptr);  // the ramp does it all
    r->from = now;
    r->to = target;
    r->to_volume = volume;
    r->to_mute = mute;
    r->done = 0;
    r->total = static_cast<guint64>(rate * SOUND_RAMP_SECONDS);
    r->ramping = true;
  }
  GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  GstMapInfo map;
  if (gst_buffer_map(buffer, &map, GST_MAP_READWRITE)) {
    if (fmt == "S16LE")
      scale<gint16>(map.data, map.size, channels, *r, scale_s16);
    else if (fmt == "S32LE")
      scale<gint32>(map.data, map.size, channels, *r, scale_s32);
    else
      scale<float>(map.data, map.size, channels, *r, scale_f32);
    gst_buffer_unmap(buffer, &map);
  }
  if (r->done >= r->total) r->finishing = true;
  return GST_PAD_PROBE_OK;
}

// The sound device stopped as soon as a stream's last sample has played. A
// switch after the end of a file flushes the sound sink, and that flush
// stops the device if it still runs: through ALSA's PulseAudio plug-in some
// round trips to the sound server (3 to 12 ms here), on the main thread,
// before the new file's first picture can come. The sound has played out a
// little before the picture's last period is over (the sink waits out its
// own latency, the picture its last frame), so the device is stopped then,
// on a thread of its own, and the flush finds it stopped. The sink starts it
// again with the next stream, as after any flush.
struct DeviceStop {
  std::atomic<bool> ended{false};     // an end of stream came in, and no flush since
  std::atomic<bool> watching{false};  // a thread waits for it to be played out
};
constexpr const char* DEVICE_STOP_KEY = "video-player-device-stop";
constexpr gint64 PLAYED_OUT_LIMIT_US = 10 * G_USEC_PER_SEC;  // a paused pipeline holds the sink's end
constexpr gulong PLAYED_OUT_POLL_US = 1000;

// With the sink's preroll lock held: nothing new is rendered meanwhile.
void stop_device(GstElement* sink) {
  GstAudioRingBuffer* ring = nullptr;
  GST_OBJECT_LOCK(sink);
  if (GstAudioRingBuffer* r = GST_AUDIO_BASE_SINK(sink)->ringbuffer) ring = GST_AUDIO_RING_BUFFER(gst_object_ref(r));
  GST_OBJECT_UNLOCK(sink);
  if (!ring) return;
  if (gst_audio_ring_buffer_is_active(ring)) gst_audio_ring_buffer_pause(ring);
  gst_object_unref(ring);
}

// Takes over a reference to the sink. The sink's own end of stream is
// handled (its `eos` set, under its preroll lock) once its last sample has
// played.
void stop_device_once_played(GstElement* sink, DeviceStop* d) {
  GstBaseSink* base = GST_BASE_SINK(sink);
  gint64 give_up = g_get_monotonic_time() + PLAYED_OUT_LIMIT_US;
  while (d->ended && g_get_monotonic_time() < give_up) {
    GST_BASE_SINK_PREROLL_LOCK(base);
    bool played = base->eos && d->ended;
    if (played) stop_device(sink);
    GST_BASE_SINK_PREROLL_UNLOCK(base);
    if (played) break;
    g_usleep(PLAYED_OUT_POLL_US);
  }
  d->watching = false;
  gst_object_unref(sink);
}

GstPadProbeReturn follow_sink_end(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  auto* d = static_cast<DeviceStop*>(data);
  GstEventType type = GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info));
  if (type == GST_EVENT_FLUSH_START) {
    d->ended = false;
  } else if (type == GST_EVENT_EOS) {
    d->ended = true;
    if (!d->watching.exchange(true)) {
      GstElement* sink = gst_pad_get_parent_element(pad);
      if (sink)
        std::thread(stop_device_once_played, sink, d).detach();
      else
        d->watching = false;
    }
  }
  return GST_PAD_PROBE_OK;
}

void stop_device_when_played(GstElement* volume) {
  PadRef src(gst_element_get_static_pad(volume, "src"));
  PadRef peer(src ? gst_pad_get_peer(src.get()) : nullptr);
  ElementRef sink(peer ? gst_pad_get_parent_element(peer.get()) : nullptr);
  if (!sink || !GST_IS_AUDIO_BASE_SINK(sink.get()) || g_object_get_data(G_OBJECT(sink.get()), DEVICE_STOP_KEY)) return;
  auto* d = new DeviceStop;
  g_object_set_data_full(G_OBJECT(sink.get()), DEVICE_STOP_KEY, d,
                         [](gpointer p) { delete static_cast<DeviceStop*>(p); });
  gst_pad_add_probe(peer.get(),
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM | GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                    follow_sink_end, d, nullptr);
}

}  // namespace

void choose_sound_device(const std::string& device) {
  g_device = device;
  if (device.empty()) return;
  std::string fault = device_fault(device);
  if (fault.empty()) {
    log_line("[AUDIO] Sound goes to the ALSA device %s", device.c_str());
    return;
  }
  g_device_missing = true;
  log_line("[AUDIO] ERROR: The sound device %s cannot be used (%s) - the picture plays on without sound",
           device.c_str(), fault.c_str());
  // An HDMI output whose screen is plugged in later, a USB card, a sound server that starts late.
  g_lookout = new Lookout;
  std::thread([device, lookout = g_lookout] {
    std::unique_lock<std::mutex> lock(lookout->mutex);
    while (!lookout->wake.wait_for(lock, LOOKOUT_PERIOD, [lookout] { return lookout->stop; })) {
      lock.unlock();
      bool found = device_fault(device).empty();
      lock.lock();
      if (found) {
        g_device_found = true;
        return;
      }
    }
  }).detach();
}

bool sound_device_back() {
  if (!g_device_missing || !g_device_found.load()) return false;
  g_device_missing = false;
  return true;
}

const std::string& sound_device() { return g_device; }

void sound_stop() {
  if (!g_lookout) return;
  std::lock_guard<std::mutex> lock(g_lookout->mutex);
  g_lookout->stop = true;
  g_lookout->wake.notify_all();
}

std::string sound_output_description() {
  // Without its device the sound is timed and dropped, so that the picture plays on.
  std::string sink = g_device_missing   ? "fakesink sync=true"
                     : g_device.empty() ? "alsasink"
                                        : "alsasink device=\"" + escape_for_description(g_device) + "\"";
  return "volume name=volume ! " + sink;
}

void sound_attach(GstElement* pipeline) {
  if (!GST_IS_BIN(pipeline)) return;
  ElementRef volume(gst_bin_get_by_name(GST_BIN(pipeline), "volume"));
  if (!volume || strcmp(factory_name(volume.get()), "volume") != 0) return;
  auto* r = new Ramp;
  r->applied = effective(g_volume.load(), g_mute.load());
  g_object_set(volume.get(), "volume", g_volume.load(), "mute", g_mute.load(), nullptr);
  g_object_set_data_full(G_OBJECT(volume.get()), RAMP_KEY, r, [](gpointer p) { delete static_cast<Ramp*>(p); });
  PadRef sink(gst_element_get_static_pad(volume.get(), "sink"));
  if (sink) gst_pad_add_probe(sink.get(), GST_PAD_PROBE_TYPE_BUFFER, follow_level, volume.get(), nullptr);
  stop_device_when_played(volume.get());
}

void set_sound_level(double volume, bool mute) {
  g_volume = std::clamp(volume, 0.0, 1.0);
  g_mute = mute;
}

double sound_volume() { return g_volume.load(); }
bool sound_muted() { return g_mute.load(); }
