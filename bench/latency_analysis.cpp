#include "latency_analysis.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "latency_trace.h"

namespace latency {

namespace {

bool timeline_has(const std::vector<Event>& ev, Ev kind, gint64 from, gint64 to) {
  for (const Event& e : ev)
    if (e.kind == kind && e.t > from && e.t < to) return true;
  return false;
}

// The events that belong to one switch: from the old file's first frame (the
// switch before's first new frame) to the next switch's command.
struct Window {
  gint64 start, end;
};

gint64 first_after(const std::vector<Event>& ev, Ev kind, gint64 from, const Window& w) {
  for (const Event& e : ev)
    if (e.kind == kind && e.t >= from && e.t < w.end) return e.t;
  return 0;
}

gint64 last_before(const std::vector<Event>& ev, Ev kind, gint64 from, gint64 to) {
  gint64 found = 0;
  for (const Event& e : ev)
    if (e.kind == kind && e.t >= from && e.t <= to) found = e.t;
  return found;
}

// The first and the last frame of one colour in [from, to), at the sink pad
// (Arrive) or on screen (Draw).
const Event* first_frame(const std::vector<Event>& ev, Ev kind, int colour, gint64 from, gint64 to) {
  for (const Event& e : ev)
    if (e.kind == kind && e.t >= from && e.t < to && e.colour == colour) return &e;
  return nullptr;
}

const Event* last_frame(const std::vector<Event>& ev, Ev kind, int colour, gint64 from, gint64 to) {
  const Event* found = nullptr;
  for (const Event& e : ev)
    if (e.kind == kind && e.t >= from && e.t < to && e.colour == colour) found = &e;
  return found;
}

// A drawn buffer takes the colour of the latest arrival with its timestamp.
void colour_draws(std::vector<Event>& ev) {
  std::map<GstClockTime, int> colour_by_pts;
  for (Event& e : ev) {
    if (e.kind == Ev::Arrive)
      colour_by_pts[e.pts] = e.colour;
    else if (e.kind == Ev::Draw) {
      auto it = colour_by_pts.find(e.pts);
      e.colour = it == colour_by_pts.end() ? -1 : it->second;
    }
  }
}

void find_preload_steps(const std::vector<Event>& ev, SwitchRecord& r) {
  if (!r.preload_sent || !r.preload_done) return;
  auto next_of = [&](Ev kind, gint64 from) -> gint64 {
    for (const Event& e : ev)
      if (e.kind == kind && e.t > from && e.t <= r.preload_done) return e.t;
    return 0;
  };
  r.ar_check = next_of(Ev::ArCheck, r.preload_sent);
  r.ar_answer1 = r.ar_check ? next_of(Ev::ArAnswer, r.ar_check) : 0;
  r.ar_answer2 = r.ar_answer1 ? next_of(Ev::ArAnswer, r.ar_answer1) : 0;
}

// The old file's last frame and the new file's first, at the sink pad and on
// screen; false, with a note, when either never reached the sink.
bool find_old_and_new_frames(const std::vector<Event>& ev, SwitchRecord& r, const Window& w) {
  const Event* first_new = first_frame(ev, Ev::Arrive, r.to, r.sent, w.end);
  if (!first_new) {
    r.note += " new file never reached the sink;";
    return false;
  }
  r.first_new_arrive = first_new->t;
  r.first_new_pts = first_new->pts;

  const Event* last_old = last_frame(ev, Ev::Arrive, r.from, w.start, r.first_new_arrive);
  if (!last_old) {
    r.note += " no frame of the old file seen;";
    return false;
  }
  r.last_old_arrive = last_old->t;
  r.last_old_pts = last_old->pts;

  const Event* first_new_draw = first_frame(ev, Ev::Draw, r.to, r.first_new_arrive, w.end);
  const Event* last_old_draw = first_new_draw ? last_frame(ev, Ev::Draw, r.from, w.start, first_new_draw->t) : nullptr;
  if (first_new_draw && last_old_draw) {
    r.first_new_draw = first_new_draw->t;
    r.last_old_draw = last_old_draw->t;
    r.last_old_draw_pts = last_old_draw->pts;
  }
  return true;
}

// Frames of neither file, old frames after the first new one, and old frames
// that reached the sink but were flushed before being drawn.
void count_stray_frames(const std::vector<Event>& ev, SwitchRecord& r, const Window& w) {
  for (const Event& e : ev) {
    if (e.t < r.last_old_arrive || e.t >= w.end) continue;
    if (e.kind == Ev::Arrive && e.colour != r.from && e.colour != r.to) r.foreign++;
    if (e.kind == Ev::Arrive && e.colour == r.from && e.t > r.first_new_arrive) r.old_after_new++;
  }
  if (GST_CLOCK_TIME_IS_VALID(r.last_old_draw_pts))
    for (const Event& e : ev)
      if (e.kind == Ev::Arrive && e.colour == r.from && e.t >= w.start && e.t < r.first_new_arrive &&
          e.pts > r.last_old_draw_pts)
        r.never_drawn_old++;
}

// The player's own steps: the switch command's lines and, for an end case,
// the old file's end on its way from the sink to the manager.
void find_switch_steps(const std::vector<Event>& ev, SwitchRecord& r, const Window& w) {
  if (r.mode == Mode::Armed) {
    r.armed = first_after(ev, Ev::Armed, r.sent, w);
    r.at_end_taken = first_after(ev, Ev::AtEnd, r.sent, w);
  }
  r.begin = first_after(ev, Ev::Begin, r.at_end_taken ? r.at_end_taken : r.sent, w);
  r.flip = r.begin ? first_after(ev, Ev::Flip, r.begin, w) : 0;
  r.seek = r.begin ? first_after(ev, Ev::Seek, r.begin, w) : 0;
  r.flush_start = r.seek ? first_after(ev, Ev::FlushStart, r.seek, w) : 0;
  r.done = r.begin ? first_after(ev, Ev::Done, r.begin, w) : 0;
  if (r.mode == Mode::End) {
    r.reported = last_before(ev, Ev::Reported, w.start, r.sent);
    r.sink_eos = r.reported ? last_before(ev, Ev::SinkEos, w.start, r.reported) : 0;
    r.bus_eos = r.reported ? last_before(ev, Ev::BusEos, w.start, r.reported) : 0;
  }
  if (r.mode == Mode::Armed) {
    if (!r.at_end_taken) r.note += " the armed switch never ran;";
    r.sink_eos = r.at_end_taken ? last_before(ev, Ev::SinkEos, w.start, r.at_end_taken) : 0;
    // The player still tells the manager that the old file ended: once its
    // last picture has been on screen, by the time the new file's first one is.
    r.reported = r.at_end_taken ? first_after(ev, Ev::Reported, r.at_end_taken, w) : 0;
    if (r.at_end_taken && (!r.reported || (r.last_old_draw && r.reported < r.last_old_draw) ||
                           (r.first_new_draw && r.reported > r.first_new_draw + FRAME_MS * MS)))
      r.note += " \"end of video!\" not reported for the old file;";
    // The sink never sees the old file's end, so the pipeline has none to post.
    if (r.sink_eos && timeline_has(ev, Ev::BusEos, r.sink_eos, r.first_new_arrive))
      r.note += " pipeline posted an end of stream;";
  }
}

// Whether the switch came where its case asks: an end case shows the old file
// to its last frame, a mid-file case is sent well before the end.
void check_old_file(const std::vector<Event>& ev, SwitchRecord& r, const Window& w) {
  if (at_end(r.mode) && GST_CLOCK_TIME_IS_VALID(r.last_old_draw_pts) &&
      r.last_old_draw_pts / 1e6 < r.from_ms - 1.5 * FRAME_MS)
    r.note += " old file's last frame never drawn;";
  for (const Event& e : ev)
    if (e.kind == Ev::Arrive && e.colour == r.from && e.t >= w.start && e.t <= r.sent) r.position_at_send = e.pts;
  // A switch this close to the end would measure the end, not the middle.
  if ((r.mode == Mode::Mid || r.mode == Mode::Warmup) &&
      (!GST_CLOCK_TIME_IS_VALID(r.position_at_send) || r.position_at_send / 1e6 > r.from_ms - 500)) {
    r.note += " sent too close to the end of the old file;";
    r.on_time = false;
  }
}

// The new file plays from its beginning, in real time, to its full length.
void check_new_file(const std::vector<Event>& ev, SwitchRecord& r, const Window& w) {
  // With sync on, frames cannot reach the sink much ahead of real time.
  for (const Event& e : ev)
    if (e.kind == Ev::Arrive && e.colour == r.to && e.t >= r.first_new_arrive && e.t < w.end)
      r.ahead_ms = std::max(r.ahead_ms, (e.pts - r.first_new_pts) / 1e6 - ms(e.t - r.first_new_arrive));
  // An armed switch reports the old file's end once the new file's first
  // picture is due, after that picture reached the sink: the new file's own
  // end is the next report.
  gint64 from = std::max(r.first_new_arrive, r.mode == Mode::Armed && r.reported ? r.reported + 1 : 0);
  r.new_end_reported = first_after(ev, Ev::Reported, from, w);
  if (r.ahead_ms > 200) {
    char text[96];
    snprintf(text, sizeof text, " new file pushed through %.0f ms ahead of real time;", r.ahead_ms);
    r.note += text;
  }
  if (r.new_end_reported && ms(r.new_end_reported - r.first_new_arrive) < r.to_ms - 500) {
    char text[96];
    snprintf(text, sizeof text, " its end reported %.0f ms after it started;",
             ms(r.new_end_reported - r.first_new_arrive));
    r.note += text;
  }
  if (r.foreign) r.note += " frames of another file around the switch;";
  if (r.old_after_new) r.note += " old frames after the new file started;";
  if (r.first_new_pts > 40 * GST_MSECOND) r.note += " new file did not start at its beginning;";
}

}  // namespace

void analyse(std::vector<SwitchRecord>& records, gint64 end_of_run) {
  std::vector<Event> ev = timeline.sorted();
  colour_draws(ev);
  for (size_t k = 0; k < records.size(); ++k) {
    SwitchRecord& r = records[k];
    find_preload_steps(ev, r);
    if (!r.driven_ok) continue;
    Window w;
    w.start = k > 0 && records[k - 1].measured ? records[k - 1].first_new_arrive : 0;
    w.end = k + 1 < records.size() && records[k + 1].sent ? records[k + 1].sent : end_of_run;
    if (!find_old_and_new_frames(ev, r, w)) continue;
    count_stray_frames(ev, r, w);
    find_switch_steps(ev, r, w);
    check_old_file(ev, r, w);
    check_new_file(ev, r, w);
    r.measured = true;
  }
}

}  // namespace latency
