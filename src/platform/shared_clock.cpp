#include "platform/shared_clock.h"

#include <gst/net/gstnetclientclock.h>

#include <cstdlib>
#include <cstring>

#include "core/gst_holders.h"
#include "core/log.h"

namespace {

// Main thread only (the clock itself is thread-safe).
struct Shared {
  SharedClockOptions options;
  GstClock* clock = nullptr;
} shared;

constexpr GstClockTime SYNC_WAIT = 5 * GST_SECOND;
// From a pipeline's making to its first picture: its preroll and the
// manager's "play".
constexpr GstClockTime START_LEAD = GST_SECOND;

}  // namespace

bool parse_host_port(const std::string& text, std::string& host, int& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  std::string digits = text.substr(colon + 1);
  if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 5) return false;
  port = std::atoi(digits.c_str());
  host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return port > 0 && port < 65536;
}

bool shared_clock_start(const SharedClockOptions& options) {
  shared.options = options;
  if (options.address.empty()) return true;
  std::string host;
  int port = 0;
  if (!parse_host_port(options.address, host, port)) {
    log_line("[CLOCK] ERROR: --clock takes HOST:PORT, not \"%s\" - the pipeline's own clock is used",
             options.address.c_str());
    return false;
  }
  // Started at the board's real time: the leader serves its real-time clock,
  // so a clock still waiting for the leader is already near it, and the
  // correction when the leader answers is small.
  GstClockTime now = static_cast<GstClockTime>(g_get_real_time()) * GST_USECOND;
  shared.clock = gst_net_client_clock_new("wall-clock", host.c_str(), port, now);
  if (!shared.clock) {
    log_line("[CLOCK] ERROR: No network clock for %s", options.address.c_str());
    return false;
  }
  if (gst_clock_wait_for_sync(shared.clock, SYNC_WAIT))
    log_line("[CLOCK] In step with the clock at %s", options.address.c_str());
  else
    log_line("[CLOCK] The clock at %s has not answered yet - running on the board's own time until it does",
             options.address.c_str());
  return true;
}

void shared_clock_attach(GstElement* pipeline) {
  if (!pipeline || !GST_IS_PIPELINE(pipeline)) return;
  if (shared.clock) gst_pipeline_use_clock(GST_PIPELINE(pipeline), shared.clock);
  if (GST_CLOCK_TIME_IS_VALID(shared.options.latency))
    gst_pipeline_set_latency(GST_PIPELINE(pipeline), shared.options.latency);
  if (GST_CLOCK_TIME_IS_VALID(shared.options.base_time)) {
    // Flushes leave the running time alone: every switch places its file on
    // the clock itself.
    gst_element_set_start_time(pipeline, GST_CLOCK_TIME_NONE);
    gst_element_set_base_time(pipeline, shared.options.base_time);
    // The pipeline's own first file starts at running time 0, long past on
    // that base: it is placed a moment from now instead.
    GstClock* clock = shared.clock ? GST_CLOCK(gst_object_ref(shared.clock)) : gst_system_clock_obtain();
    GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    gint64 start = now > shared.options.base_time ? static_cast<gint64>(now - shared.options.base_time + START_LEAD) : 0;
    for_each_element(gst_bin_iterate_recurse(GST_BIN(pipeline)), [start](GstElement* e) {
      if (strcmp(factory_name(e), "input-selector") != 0) return;
      GstIterator* pads = gst_element_iterate_sink_pads(e);
      GValue pad = G_VALUE_INIT;
      while (gst_iterator_next(pads, &pad) == GST_ITERATOR_OK) {
        gst_pad_set_offset(GST_PAD(g_value_get_object(&pad)), start);
        g_value_reset(&pad);
      }
      g_value_unset(&pad);
      gst_iterator_free(pads);
    });
  }
}

GstClock* shared_clock() { return shared.clock; }

void shared_clock_stop() {
  if (shared.clock) gst_object_unref(shared.clock);
  shared.clock = nullptr;
}
