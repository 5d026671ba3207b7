#include "switching/switch_at_end.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "core/gst_holders.h"
#include "core/log.h"
#include "messaging/ack_delivery.h"
#include "protocol/protocol.h"
#include "restart/rebuild_policy.h"
#include "switching/handover.h"
#include "switching/switch_command.h"

namespace {

constexpr GstClockTime MAX_AHEAD = 24ULL * 3600 * GST_SECOND;

// Set on the main thread, taken by the sink's streaming thread at the end.
std::atomic<bool> armed{false};
// Counts the changes of the file on screen. The end a message reports
// belongs to the file that was on screen when the switch was armed; once
// another file is shown, that end means nothing.
std::atomic<unsigned> screen_generation{1};
std::atomic<unsigned> armed_generation{0};
// The probe on the video sink's pad; touched on the main thread only.
PadRef probed_pad;
gulong probe_id = 0;

GstPadProbeReturn on_sink_event(GstPad* pad, GstPadProbeInfo* info, gpointer) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_EOS) return GST_PAD_PROBE_OK;
  if (!armed) return GST_PAD_PROBE_OK;
  // A rebuild due at the end of the video is what happens there: the end
  // goes on, and is reported as any end (the sinks' end is not the armed
  // switch's any more).
  if (rebuild_due_at_video_end()) {
    armed = false;
    return GST_PAD_PROBE_OK;
  }
  unsigned generation = armed_generation.load();
  if (!armed.exchange(false)) return GST_PAD_PROBE_OK;
  // The sink never sees this end: the last picture stays until the new
  // file's first one replaces it.
  ElementRef sink(gst_pad_get_parent_element(pad));
  if (sink)
    gst_element_post_message(
        sink.get(), gst_message_new_application(GST_OBJECT(sink.get()),
                                                gst_structure_new(SWITCH_AT_END_MESSAGE, "generation", G_TYPE_UINT,
                                                                  generation, nullptr)));
  return GST_PAD_PROBE_DROP;
}

void remove_probe() {
  if (probed_pad && probe_id) gst_pad_remove_probe(probed_pad.get(), probe_id);
  probe_id = 0;
  probed_pad.reset();
}

}  // namespace

bool switch_at_end_armed() { return armed; }

void cancel_switch_at_end() {
  drop_prepared_rebuild_if_any();
  bool handed_over = handover_armed();
  disarm_handover();
  if (armed.exchange(false) || handed_over) log_line("%s", protocol::DISARMED);
  remove_probe();
}

void disarm_switch_at_end() {
  screen_generation++;
  cancel_switch_at_end();
}

void handle_switch_at_end_command(PlayerState& st) {
  if (switch_refused(st)) return;
  remove_probe();
  armed_generation = screen_generation.load();
  if (arm_handover(st, armed_generation)) {
    log_line("%s", protocol::ARMED);
    return;
  }
  if (st.glimagesink_element) probed_pad.reset(gst_element_get_static_pad(st.glimagesink_element, "sink"));
  if (!probed_pad) {
    log_line("%s - no video sink", protocol::ARM_REJECTED);
    return;
  }
  armed = true;
  probe_id = gst_pad_add_probe(probed_pad.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, on_sink_event, nullptr, nullptr);
  log_line("%s", protocol::ARMED);
}

namespace {

// Arms the hand-over placed at `time`; logs it. False when it cannot serve.
bool arm_placed(PlayerState& st, HandoverTime time) {
  remove_probe();
  armed_generation = screen_generation.load();
  if (!arm_handover(st, armed_generation, &time)) return false;
  GstClockTime base = gst_element_get_base_time(st.pipeline);
  GstClock* clock = gst_element_get_clock(st.pipeline);
  GstClockTime now = clock ? gst_clock_get_time(clock) : base + time.running_time;
  if (clock) gst_object_unref(clock);
  log_line("%s%llu (running time %llu, in %.3f s)", protocol::SWITCH_AT_ARMED,
           static_cast<unsigned long long>(base + time.running_time),
           static_cast<unsigned long long>(time.running_time),
           (static_cast<double>(base + time.running_time) - static_cast<double>(now)) / GST_SECOND);
  return true;
}

}  // namespace

bool place_switch_now(PlayerState& st) {
  if (!st.pipeline) return false;
  GstClock* clock = gst_element_get_clock(st.pipeline);
  if (!clock) return false;
  GstClockTime now = gst_clock_get_time(clock), base = gst_element_get_base_time(st.pipeline);
  gst_object_unref(clock);
  // A quarter of a second: the new branch's rewind and first picture.
  return arm_placed(st, HandoverTime{(now > base ? now - base : 0) + GST_SECOND / 4, 0});
}

void handle_switch_at_command(PlayerState& st, const char* args) {
  char* end = nullptr;
  errno = 0;
  unsigned long long at = strtoull(args, &end, 10), position = 0;
  bool ok = end != args && errno == 0 && *args != '-';
  if (ok && *end == ' ') {
    const char* p = end + 1;
    position = strtoull(p, &end, 10);
    ok = end != p && errno == 0 && *p != '-';
  }
  if (!ok || *end) {
    log_line("%s - switch_at takes a clock time and an optional position, in nanoseconds: \"%s\"",
             protocol::SWITCH_AT_REJECTED, args);
    return;
  }
  if (switch_refused(st)) return;
  GstClockTime base = st.pipeline ? gst_element_get_base_time(st.pipeline) : 0;
  if (!st.pipeline || at < base) {
    log_line("%s - clock time %llu is before the pipeline's start", protocol::SWITCH_AT_REJECTED, at);
    return;
  }
  // A time that wrapped, or lies a day or more ahead, would hold the last
  // picture for as long: no manager means it.
  GstClock* clock = gst_element_get_clock(st.pipeline);
  GstClockTime now = clock ? gst_clock_get_time(clock) : base;
  if (clock) gst_object_unref(clock);
  if (at > now + MAX_AHEAD || position > MAX_AHEAD) {
    log_line("%s - clock time %llu (position %llu) is more than a day ahead", protocol::SWITCH_AT_REJECTED, at,
             position);
    return;
  }
  // Another picture shape: the rebuild due at the end is placed there instead,
  // made ready behind the file on screen.
  if (rebuild_due_at_video_end()) {
    place_rebuild({at - base, position});
    log_line("%s%llu (running time %llu, in %.3f s) - a rebuild for another picture shape, made ready behind the "
             "file on screen",
             protocol::SWITCH_AT_ARMED, at, at - base, (static_cast<double>(at) - static_cast<double>(now)) / GST_SECOND);
    return;
  }
  if (!arm_placed(st, HandoverTime{at - base, position}))
    log_line("%s - the preload cannot take over on the clock (the pipeline not playing, or one file with sound and "
             "the other without)",
             protocol::SWITCH_AT_REJECTED);
}

bool is_switch_at_end_message(GstMessage* msg) {
  if (GST_MESSAGE_TYPE(msg) != GST_MESSAGE_APPLICATION) return false;
  const GstStructure* s = gst_message_get_structure(msg);
  return s && (gst_structure_has_name(s, SWITCH_AT_END_MESSAGE) || gst_structure_has_name(s, HANDOVER_MESSAGE));
}

void finish_handover_now(PlayerState& st) {
  if (!handover_begun()) return;
  bool placed = handover_placed();
  if (placed) {
    GstClockTime base = st.pipeline ? gst_element_get_base_time(st.pipeline) : 0;
    GstClock* clock = st.pipeline ? gst_element_get_clock(st.pipeline) : nullptr;
    log_line("%s%llu", protocol::SWITCH_AT_TAKEN,
             static_cast<unsigned long long>(clock ? gst_clock_get_time(clock) : base));
    if (clock) gst_object_unref(clock);
  } else {
    log_line("%s", protocol::ARMED_SWITCH_TAKEN);
  }
  // Reported as at any end, so that the manager preloads the next file; a
  // file cut at a placed time did not end.
  if ((!placed || handover_old_file_ended()) && active_qtdemux && !suppress_events)
    send_with_ack(protocol::END_OF_VIDEO, protocol::ACK_END);
  finish_handover(st);
}

void handle_switch_at_end_message(PlayerState& st, GstMessage* msg) {
  if (is_handover_message(msg)) {
    if (handover_message_generation(msg) == 0 || handover_message_generation(msg) != screen_generation.load())
      log_line("[SWITCH AT END] The end of a file no longer on screen - ignored");
    else
      finish_handover_now(st);
    return;
  }
  remove_probe();
  guint generation = 0;
  gst_structure_get_uint(gst_message_get_structure(msg), "generation", &generation);
  if (generation != screen_generation.load()) {
    // Posted for a file that a switch, a video command or a rebuild has replaced since.
    log_line("[SWITCH AT END] The end of a file no longer on screen - ignored");
    return;
  }
  log_line("%s", protocol::ARMED_SWITCH_TAKEN);
  // Reported as at any end, so that the manager preloads the next file.
  if (active_qtdemux && !suppress_events) send_with_ack(protocol::END_OF_VIDEO, protocol::ACK_END);
  handle_switch_command(st);
}
