#include "switching/handover.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/gst_holders.h"
#include "core/log.h"
#include "restart/rebuild_policy.h"
#include "switching/branch.h"
#include "switching/switch_command.h"

namespace {

// One stream (picture or sound) of the hand-over.
struct Stream {
  GstElement* selector = nullptr;  // borrowed from the state
  PadRef old_src;                  // the file on screen's last pad before its selector
  gulong end_probe = 0;
  PadRef new_src;  // the preload's
  gulong hold = 0;
  gulong flush_probe = 0;  // the picture's: a flush brings its first buffer again
  PadRef new_selector_pad;
  std::atomic<gulong>* drop_probe = nullptr;  // the preload's buffer-dropping probe on new_selector_pad
  bool turned = false;
  bool ended_before = false;  // its end of stream had gone on to the sink before the arming
  // The old stream's selector pad's offset (a wall places a pipeline's first
  // file by it): its running times at the sinks are this much later.
  gint64 selector_offset = 0;
};

// What the sinks drop of a stream cut before its end: its buffers from the
// cut's running time on, until the new stream starts there.
struct Cut {
  GstClockTime at = 0;
  std::atomic<bool> passed{false};  // the new stream has started at the sink
};

struct Plan {
  unsigned generation = 0;
  Stream video, audio;
  bool has_audio = false;
  // Running time of the new file's first picture, before any offset.
  GstClockTime first_new = GST_CLOCK_TIME_NONE;
  // Running time at which the new file starts: the old file's end (the later
  // of its streams'), or the time it was placed at.
  GstClockTime old_end = GST_CLOCK_TIME_NONE;
  bool placed = false;
  // A picture shows this long after its running time comes on the clock:
  // the pipeline's latency, kept by a wall at one figure.
  GstClockTime latency = 0;
  int streams_ended = 0;  // of the old file, at their end of stream
  GstClockID end_wait = nullptr;
  GstClockID cut_wait[2] = {nullptr, nullptr};  // picture, sound
  std::vector<std::pair<PadRef, gulong>> cut_probes;
  bool yielded = false;  // a rebuild took the end: the old file's end goes on to the sinks
};

// A placed hand-over's streams turn as their buffers reach the placed time;
// one held up that long before its time is cut then, still ahead of the end's
// clock wait (the same clock's thread keeps their order).
constexpr GstClockTime CUT_LATEST = GST_MSECOND;
// A time asked for that is nearer than this (or past) is moved to it.
constexpr GstClockTime NEAREST = 200 * GST_MSECOND;

// Written by the main thread; the streaming threads' probes and the clock's
// thread read and change it holding the lock. Nothing waits while holding it.
std::mutex plan_lock;
std::unique_ptr<Plan> plan;
std::atomic<bool> begun{false};

bool has_sticky_end(GstPad* pad) {
  GstEvent* eos = pad ? gst_pad_get_sticky_event(pad, GST_EVENT_EOS, 0) : nullptr;
  if (eos) gst_event_unref(eos);
  return eos != nullptr;
}

GstPad* peer_of(GstPad* pad) { return pad ? gst_pad_get_peer(pad) : nullptr; }

GstPad* active_pad(GstElement* selector) {
  GstPad* pad = nullptr;
  if (selector) g_object_get(selector, "active-pad", &pad, nullptr);
  return pad;
}

// The running time of a position on the pad's current segment, its offset included.
GstClockTime running_time_on(GstPad* pad, GstClockTime position) {
  GstEvent* event = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
  if (!event) return GST_CLOCK_TIME_NONE;
  const GstSegment* segment = nullptr;
  gst_event_parse_segment(event, &segment);
  GstClockTime running = GST_CLOCK_TIME_NONE;
  if (segment->format == GST_FORMAT_TIME) {
    // Before the segment's start (a frame decoded only to reach the position
    // asked for): it is not shown, the start is.
    if (!GST_CLOCK_TIME_IS_VALID(position) || position < segment->start) position = segment->start;
    running = gst_segment_to_running_time(segment, GST_FORMAT_TIME, position);
  }
  gst_event_unref(event);
  if (!GST_CLOCK_TIME_IS_VALID(running)) return running;
  gint64 shifted = static_cast<gint64>(running) + gst_pad_get_offset(pad);
  return shifted < 0 ? 0 : static_cast<GstClockTime>(shifted);
}

// Where the stream behind `src` ends: its length, else the end of what its
// segment has seen.
GstClockTime end_of_file(GstPad* src) {
  GstEvent* event = gst_pad_get_sticky_event(src, GST_EVENT_SEGMENT, 0);
  if (!event) return GST_CLOCK_TIME_NONE;
  const GstSegment* segment = nullptr;
  gst_event_parse_segment(event, &segment);
  GstClockTime position = segment->position;
  gint64 duration = -1;
  if (gst_pad_query_duration(src, GST_FORMAT_TIME, &duration) && duration > 0) {
    GstClockTime end = segment->start + (static_cast<GstClockTime>(duration) - MIN(segment->time, duration));
    if (GST_CLOCK_TIME_IS_VALID(segment->stop)) end = MIN(end, segment->stop);
    if (!GST_CLOCK_TIME_IS_VALID(position) || end > position) position = end;
  }
  gst_event_unref(event);
  return running_time_on(src, position);
}

// The new file's first picture, held at its parser: its running time is
// what the offset moves on to the old file's end.
GstPadProbeReturn on_held(GstPad* pad, GstPadProbeInfo* info, gpointer) {
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  std::lock_guard<std::mutex> lock(plan_lock);
  if (plan && !GST_CLOCK_TIME_IS_VALID(plan->first_new) && buffer)
    plan->first_new = running_time_on(pad, GST_BUFFER_PTS(buffer));
  return GST_PAD_PROBE_OK;  // stays held
}

GstPadProbeReturn on_flushed(GstPad*, GstPadProbeInfo* info, gpointer) {
  if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_FLUSH_STOP) {
    std::lock_guard<std::mutex> lock(plan_lock);
    if (plan && !begun) plan->first_new = GST_CLOCK_TIME_NONE;
  }
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn drop_after_cut(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  auto& cut = **static_cast<std::shared_ptr<Cut>*>(data);
  if (cut.passed) return GST_PAD_PROBE_OK;
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_STREAM_START) cut.passed = true;
    return GST_PAD_PROBE_OK;
  }
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  GstClockTime running = buffer ? running_time_on(pad, GST_BUFFER_PTS(buffer)) : GST_CLOCK_TIME_NONE;
  return GST_CLOCK_TIME_IS_VALID(running) && running >= cut.at ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

void free_cut(gpointer data) { delete static_cast<std::shared_ptr<Cut>*>(data); }

void post_end_due(unsigned generation) {
  GstElement* pipeline = global_pipeline.load();
  if (!pipeline) return;
  gst_element_post_message(pipeline, gst_message_new_application(
                                         GST_OBJECT(pipeline), gst_structure_new(HANDOVER_MESSAGE, "generation",
                                                                                 G_TYPE_UINT, generation, nullptr)));
}

gboolean on_end_due(GstClock*, GstClockTime, GstClockID, gpointer generation) {
  post_end_due(GPOINTER_TO_UINT(generation));
  return TRUE;
}

// A wait on the pipeline's clock until a running time; nullptr without a clock.
GstClockID clock_wait(GstClockTime running, GstClockCallback callback, gpointer data) {
  GstElement* pipeline = global_pipeline.load();
  GstClock* clock = pipeline ? gst_element_get_clock(pipeline) : nullptr;
  if (!clock) return nullptr;
  GstClockID id = gst_clock_new_single_shot_id(clock, gst_element_get_base_time(pipeline) + running);
  gst_object_unref(clock);
  if (gst_clock_id_wait_async(id, callback, data, nullptr) != GST_CLOCK_OK) {
    gst_clock_id_unref(id);
    return nullptr;
  }
  return id;
}

// With plan_lock held: the moment the new file's first picture is due, on
// the pipeline's clock; the loop finishes the switch then.
void wait_for_end(Plan& p) {
  p.end_wait = clock_wait(p.old_end + p.latency, on_end_due, GUINT_TO_POINTER(p.generation));
  if (!p.end_wait) post_end_due(p.generation);
}

// With plan_lock held, on the streaming thread that brought the old stream's
// end: the selector turns to the new stream, moved on in time, and lets it go.
void turn(Plan& p, Stream& s, bool clear_output = false) {
  GstClockTime first = GST_CLOCK_TIME_IS_VALID(p.first_new) ? p.first_new : 0;
  gst_pad_set_offset(s.new_src.get(), static_cast<gint64>(p.old_end) - static_cast<gint64>(first));
  if (gulong id = s.drop_probe ? s.drop_probe->exchange(0) : 0) gst_pad_remove_probe(s.new_selector_pad.get(), id);
  g_object_set(s.selector, "active-pad", s.new_selector_pad.get(), nullptr);
  if (clear_output) flush_selector_pad(s.new_selector_pad.get());
  if (s.hold) gst_pad_remove_probe(s.new_src.get(), std::exchange(s.hold, 0));
  s.turned = true;
}

// The old stream goes on into its pad, now inactive, where the selector would
// hold its thread: nothing more of it gets through.
void stop_old(Stream& s) {
  PadRef old_pad(peer_of(s.old_src.get()));
  if (old_pad) gst_pad_send_event(old_pad.get(), gst_event_new_flush_start());
}

// A placed hand-over, on the old stream's thread: the stream turns at its
// first buffer due at or after the placed time, so that every one before it
// is shown.
GstPadProbeReturn on_old_buffer(GstPad* pad, GstBuffer* buffer, Stream& s, Plan& p) {
  if (!p.placed || s.turned || s.old_src.get() != pad) return GST_PAD_PROBE_OK;
  // In decoding order: a picture due before the placed time is decoded before it.
  GstClockTime at = GST_BUFFER_DTS_IS_VALID(buffer) ? GST_BUFFER_DTS(buffer) : GST_BUFFER_PTS(buffer);
  GstClockTime running = running_time_on(pad, at);
  if (!GST_CLOCK_TIME_IS_VALID(running) || running + s.selector_offset < p.old_end) return GST_PAD_PROBE_OK;
  begun = true;
  turn(p, s);
  stop_old(s);
  return GST_PAD_PROBE_DROP;
}

// The old file's stream before its selector pad: its end, and with a placed
// hand-over each buffer, until it turns.
GstPadProbeReturn on_old_stream(GstPad* pad, GstPadProbeInfo* info, gpointer is_audio) {
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    std::lock_guard<std::mutex> lock(plan_lock);
    if (!plan || !buffer) return GST_PAD_PROBE_OK;
    return on_old_buffer(pad, buffer, is_audio ? plan->audio : plan->video, *plan);
  }
  if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) != GST_EVENT_EOS) return GST_PAD_PROBE_OK;
  std::lock_guard<std::mutex> lock(plan_lock);
  if (!plan || plan->yielded) return GST_PAD_PROBE_OK;
  Plan& p = *plan;
  Stream& s = is_audio ? p.audio : p.video;
  if (s.turned || s.old_src.get() != pad) return GST_PAD_PROBE_OK;
  // A rebuild due at the end of the video is what happens there.
  if (!begun && !p.placed && rebuild_due_at_video_end()) {
    p.yielded = true;
    return GST_PAD_PROBE_OK;
  }
  // The demuxer gives each stream's own length: the file ends with the longer.
  if (!GST_CLOCK_TIME_IS_VALID(p.old_end))
    for (Stream* old : {&p.video, &p.audio})
      if (old->old_src) {
        GstClockTime end = end_of_file(old->old_src.get());
        if (GST_CLOCK_TIME_IS_VALID(end)) end += old->selector_offset;
        if (GST_CLOCK_TIME_IS_VALID(end) && (!GST_CLOCK_TIME_IS_VALID(p.old_end) || end > p.old_end)) p.old_end = end;
      }
  if (!GST_CLOCK_TIME_IS_VALID(p.old_end)) {
    p.yielded = true;  // nothing to place the new file by: the sinks' end decides
    return GST_PAD_PROBE_OK;
  }
  bool first_turn = !begun.exchange(true);
  p.streams_ended++;
  turn(p, s);
  if (first_turn && !p.placed) wait_for_end(p);
  // The sinks never see this end: the old file's last picture stays until
  // the new file's first one replaces it.
  return GST_PAD_PROBE_DROP;
}

// On the clock's thread, just before the placed time shows: a stream of the
// old file held up before it is cut there.
gboolean on_cut_due(GstClock*, GstClockTime, GstClockID id, gpointer) {
  std::lock_guard<std::mutex> lock(plan_lock);
  if (!plan) return TRUE;
  for (int i = 0; i < 2; ++i) {
    Stream& s = i == 0 ? plan->video : plan->audio;
    if (plan->cut_wait[i] == id && s.new_src && !s.turned) {
      begun = true;
      turn(*plan, s);
      stop_old(s);
    }
  }
  return TRUE;
}

void remove_probe(PadRef& pad, gulong& id) {
  if (pad && id) gst_pad_remove_probe(pad.get(), id);
  id = 0;
}

// Main thread, holding nothing: the probes and the clock wait of a plan taken out.
void forget_wait(GstClockID& id) {
  if (!id) return;
  gst_clock_id_unschedule(id);
  gst_clock_id_unref(id);
  id = nullptr;
}

void release(Plan& p) {
  forget_wait(p.end_wait);
  for (GstClockID& id : p.cut_wait) forget_wait(id);
  for (auto& [pad, id] : p.cut_probes)
    if (pad && id) gst_pad_remove_probe(pad.get(), id);
  p.cut_probes.clear();
  for (Stream* s : {&p.video, &p.audio}) {
    remove_probe(s->old_src, s->end_probe);
    remove_probe(s->new_src, s->hold);
    remove_probe(s->new_src, s->flush_probe);
  }
}

// A stream of the file on screen that has ended already counts only when the
// hand-over is placed at a time: it then turns as it is placed.
bool set_up_stream(Stream& s, GstElement* selector, GstPad* new_selector_pad, std::atomic<gulong>& drop_probe,
                   bool is_audio, bool placed) {
  s.selector = selector;
  PadRef active(active_pad(selector));
  s.old_src.reset(peer_of(active.get()));
  s.new_selector_pad.reset(new_selector_pad ? GST_PAD(gst_object_ref(new_selector_pad)) : nullptr);
  s.new_src.reset(peer_of(new_selector_pad));
  s.drop_probe = &drop_probe;
  if (!s.old_src || !s.new_src || active.get() == new_selector_pad) return false;
  s.selector_offset = std::max<gint64>(0, gst_pad_get_offset(active.get()));
  s.ended_before = has_sticky_end(s.old_src.get());
  if (s.ended_before && !placed) return false;
  s.hold = gst_pad_add_probe(s.new_src.get(),
                             static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BLOCK | GST_PAD_PROBE_TYPE_BUFFER),
                             is_audio ? nullptr : on_held, nullptr, nullptr);
  if (!is_audio) s.flush_probe = gst_pad_add_probe(s.new_src.get(), GST_PAD_PROBE_TYPE_EVENT_FLUSH, on_flushed, nullptr, nullptr);
  auto old_probe = static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                (placed ? GST_PAD_PROBE_TYPE_BUFFER : 0));
  s.end_probe = gst_pad_add_probe(s.old_src.get(), old_probe, on_old_stream, GINT_TO_POINTER(is_audio), nullptr);
  return s.hold && s.end_probe;
}

// The running time a placed hand-over can keep: one asked for that is past
// or too near is moved on, and said.
GstClockTime keepable(GstElement* pipeline, GstClockTime running) {
  GstClockTime nearest = pipeline_running_time(pipeline) + NEAREST;
  if (running >= nearest) return running;
  log_line("[SWITCH AT] The time asked for is past or too near - the new file shows %.3f s later",
           static_cast<double>(nearest - running) / GST_SECOND);
  return nearest;
}

// A cut of its own for each sink: the new stream reaching one sink says
// nothing of what the other still has to drop.
std::vector<std::pair<PadRef, gulong>> cut_sinks(GstElement* pipeline, GstClockTime running) {
  std::vector<std::pair<PadRef, gulong>> probes;
  for_each_element(gst_bin_iterate_sinks(GST_BIN(pipeline)), [&](GstElement* sink) {
    PadRef pad(gst_element_get_static_pad(sink, "sink"));
    if (!pad) return;
    auto cut = std::make_shared<Cut>();
    cut->at = running;
    gulong id = gst_pad_add_probe(
        pad.get(), static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        drop_after_cut, new std::shared_ptr<Cut>(cut), free_cut);
    probes.emplace_back(std::move(pad), id);
  });
  return probes;
}

// The new file shows at the plan's placed time: the sinks drop what of the
// old file would show from then on, each stream of the old file still going
// a little before is cut, and the loop hears of it at that time.
void place(PlayerState& st) {
  std::lock_guard<std::mutex> lock(plan_lock);
  if (!plan) return;
  Plan& p = *plan;
  GstClockTime running = p.old_end;
  p.cut_probes = cut_sinks(st.pipeline, running);
  for (int i = 0; i < (p.has_audio ? 2 : 1); ++i) {
    Stream& s = i == 0 ? p.video : p.audio;
    if (s.ended_before) {
      // Its sink holds the old stream's end, and would take nothing more:
      // flushed through the new pad, once the selector has turned to it.
      begun = true;
      p.streams_ended++;
      turn(p, s, true);
    } else {
      p.cut_wait[i] = clock_wait(running + p.latency - CUT_LATEST, on_cut_due, nullptr);
    }
  }
  wait_for_end(p);
}

bool steadily_playing(GstElement* pipeline) {
  GstState state = GST_STATE_NULL, pending = GST_STATE_VOID_PENDING;
  gst_element_get_state(pipeline, &state, &pending, 0);
  return state == GST_STATE_PLAYING && pending == GST_STATE_VOID_PENDING;
}

}  // namespace

bool arm_handover(PlayerState& st, unsigned generation, const HandoverTime* at) {
  disarm_handover();
  if (!st.pipeline || !st.input_selector || !st.preload_qtdemux || !steadily_playing(st.pipeline)) return false;
  if (rebuild_due_at_video_end() || st.video_switching_in_progress) return false;
  // A video command's file on screen has a branch of its own beside the one
  // recorded as active: the switch at the sink's end takes both away.
  PadRef shown(active_pad(st.input_selector));
  GstElement* owner = branch_owner(shown.get());
  if (owner ? owner != active_qtdemux : active_qtdemux != nullptr) return false;
  GstPad* new_audio = st.preload_audio_selector_pad.load();
  if (st.audio_selector && !new_audio) return false;  // the new file has no sound

  auto p = std::make_unique<Plan>();
  p->generation = generation;
  GstClockTime latency = gst_pipeline_get_latency(GST_PIPELINE(st.pipeline));
  if (GST_CLOCK_TIME_IS_VALID(latency)) p->latency = latency;
  p->has_audio = st.audio_selector != nullptr;
  // Placed from the start: an old stream's end that comes while the rest is
  // armed is part of the placed change, not a hand-over at the end.
  if (at) {
    p->placed = true;
    p->old_end = keepable(st.pipeline, at->running_time);
  }
  bool ok = set_up_stream(p->video, st.input_selector, st.preload_selector_pad.load(), st.preload_video_probe_id,
                          false, at != nullptr);
  if (ok && p->has_audio)
    ok = set_up_stream(p->audio, st.audio_selector, new_audio, st.preload_audio_probe_id, true, at != nullptr);
  if (ok) {
    std::lock_guard<std::mutex> lock(plan_lock);
    plan = std::move(p);
  } else {
    release(*p);
    return false;
  }
  // The preload has streamed its file into its dropping probes: from its
  // start (or the position asked for) again, up to the hold. Its flush stops
  // at the selector's inactive pads.
  GstClockTime position = at ? at->position : 0;
  auto flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | (position ? GST_SEEK_FLAG_ACCURATE : GST_SEEK_FLAG_KEY_UNIT));
  if (!seek_branch(st.preload_qtdemux, flags, position)) {
    disarm_handover();
    return false;
  }
  if (at) place(st);
  return true;
}

void disarm_handover() {
  std::unique_ptr<Plan> p;
  {
    std::lock_guard<std::mutex> lock(plan_lock);
    p = std::move(plan);
  }
  begun = false;
  if (p) release(*p);
}

void drop_from(GstElement* pipeline, GstClockTime running) { cut_sinks(pipeline, running); }

GstClockTime pipeline_running_time(GstElement* pipeline) {
  GstClock* clock = gst_element_get_clock(pipeline);
  if (!clock) return 0;
  GstClockTime now = gst_clock_get_time(clock), base = gst_element_get_base_time(pipeline);
  gst_object_unref(clock);
  return now > base ? now - base : 0;
}


GstClockTime file_on_screen_end(PlayerState& st) {
  GstClockTime end = GST_CLOCK_TIME_NONE;
  for (GstElement* selector : {st.input_selector, st.audio_selector}) {
    PadRef active(active_pad(selector));
    PadRef src(peer_of(active.get()));
    GstClockTime stream_end = src ? end_of_file(src.get()) : GST_CLOCK_TIME_NONE;
    // The selector's own offset (a wall places a pipeline's first file by it) counts too.
    if (GST_CLOCK_TIME_IS_VALID(stream_end) && active) stream_end += gst_pad_get_offset(active.get());
    if (GST_CLOCK_TIME_IS_VALID(stream_end) && (!GST_CLOCK_TIME_IS_VALID(end) || stream_end > end)) end = stream_end;
  }
  return end;
}

bool handover_armed() {
  std::lock_guard<std::mutex> lock(plan_lock);
  return plan && !plan->yielded;
}

bool handover_begun() { return begun; }

bool handover_placed() {
  std::lock_guard<std::mutex> lock(plan_lock);
  return plan && plan->placed;
}

bool handover_old_file_ended() {
  std::lock_guard<std::mutex> lock(plan_lock);
  return plan && plan->streams_ended == (plan->has_audio ? 2 : 1);
}

bool is_handover_message(GstMessage* msg) {
  if (GST_MESSAGE_TYPE(msg) != GST_MESSAGE_APPLICATION) return false;
  const GstStructure* s = gst_message_get_structure(msg);
  return s && gst_structure_has_name(s, HANDOVER_MESSAGE);
}

unsigned handover_message_generation(GstMessage* msg) {
  guint generation = 0;
  gst_structure_get_uint(gst_message_get_structure(msg), "generation", &generation);
  std::lock_guard<std::mutex> lock(plan_lock);
  return plan && plan->generation == generation ? generation : 0;
}

void finish_handover(PlayerState& st) {
  std::unique_ptr<Plan> p;
  {
    std::lock_guard<std::mutex> lock(plan_lock);
    if (!plan) return;
    // A stream whose end has not come yet (a command could not wait for it)
    // turns now, at the same time as the other.
    if (begun)
      for (Stream* s : {&plan->video, &plan->audio})
        if (s->new_src && !s->turned) turn(*plan, *s);
    p = std::move(plan);
  }
  begun = false;
  release(*p);
  PadRef old_video(peer_of(p->video.old_src.get()));
  PadRef old_audio(peer_of(p->audio.old_src.get()));
  complete_handed_over_switch(st, old_video.get(), p->has_audio ? old_audio.get() : nullptr);
}
