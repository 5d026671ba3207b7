#include "latency_report.h"

#include <gst/gst.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "bench_support.h"
#include "latency_trace.h"

namespace latency {

namespace {

// ---------------------------------------------------------------- statistics

using bench::Stats;
using bench::stats_of;

std::vector<double> collect(const std::vector<SwitchRecord>& rs, Mode mode,
                            const std::function<bool(const SwitchRecord&, double&)>& get) {
  std::vector<double> out;
  for (const SwitchRecord& r : rs) {
    double v;
    if (r.mode == mode && r.measured && r.on_time && get(r, v)) out.push_back(v);
  }
  return out;
}

// One step of a switch: its label and how to read its duration off a record.
struct Part {
  const char* label;
  std::function<bool(const SwitchRecord&, double&)> get;
};

void print_stats_row(FILE* out, const char* label, const Stats& s) {
  if (s.n == 0) {
    fprintf(out, "| %s | 0 | - | - | - | - |\n", label);
    return;
  }
  fprintf(out, "| %s | %zu | %.1f ms (%.2f fr) | %.1f ms (%.2f fr) | %.1f ms (%.2f fr) | %.1f ms (%.2f fr) |\n", label,
          s.n, s.median, s.median / FRAME_MS, s.p90, s.p90 / FRAME_MS, s.min, s.min / FRAME_MS, s.max,
          s.max / FRAME_MS);
}

std::string cpu_model() {
  FILE* f = fopen("/proc/cpuinfo", "r");
  if (!f) return "unknown";
  char line[512];
  std::string model = "unknown";
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, "model name", 10) == 0) {
      const char* colon = strchr(line, ':');
      if (colon) {
        model = colon + 2;
        if (!model.empty() && model.back() == '\n') model.pop_back();
      }
      break;
    }
  }
  fclose(f);
  return model;
}

// Preloads taken at their first attempt; the preload case's own, or every cycle's.
std::vector<double> preload_times(const std::vector<SwitchRecord>& rs, bool all_cycles,
                                  const std::function<bool(const SwitchRecord&, double&)>& get) {
  std::vector<double> out;
  for (const SwitchRecord& r : rs) {
    double v;
    if ((all_cycles || r.mode == Mode::Preload) && r.preload_attempts == 1 && r.preload_done && get(r, v))
      out.push_back(v);
  }
  return out;
}

void print_preloads(FILE* out, const std::vector<SwitchRecord>& records) {
  auto total = [](const SwitchRecord& r, double& v) {
    v = ms(r.preload_done - r.preload_sent);
    return true;
  };
  Stats own = stats_of(preload_times(records, false, total));
  if (own.n == 0) return;
  int refused = 0;
  for (const SwitchRecord& r : records)
    if (r.mode == Mode::Preload && r.preload_attempts != 1) refused++;
  fprintf(out,
          "\nPRELOAD (\"preload <path>\" written -> \"Preload complete\" read; %d refused at first and left out):\n\n",
          refused);
  fprintf(out, "| cycles | n | median | p90 | min | max |\n|---|---|---|---|---|---|\n");
  auto row = [out](const char* label, const Stats& s) {
    fprintf(out, "| %s | %zu | %.1f ms | %.1f ms | %.1f ms | %.1f ms |\n", label, s.n, s.median, s.p90, s.min, s.max);
  };
  row("preload case", own);
  row("every cycle of the run", stats_of(preload_times(records, true, total)));
  const Part parts[] = {
      {"written -> aspect check starts (video pad linked)",
       [](const SwitchRecord& r, double& v) {
         v = ms(r.ar_check - r.preload_sent);
         return r.ar_check != 0;
       }},
      {"aspect check starts -> first ffprobe answer",
       [](const SwitchRecord& r, double& v) {
         v = ms(r.ar_answer1 - r.ar_check);
         return r.ar_answer1 != 0;
       }},
      {"first -> second ffprobe answer",
       [](const SwitchRecord& r, double& v) {
         v = ms(r.ar_answer2 - r.ar_answer1);
         return r.ar_answer2 != 0;
       }},
      {"last ffprobe answer -> \"Preload complete\" read",
       [](const SwitchRecord& r, double& v) {
         gint64 last = r.ar_answer2 ? r.ar_answer2 : r.ar_answer1;
         v = ms(r.preload_done - last);
         return last != 0;
       }},
  };
  fprintf(out, "\nwhere the preload case's time goes (median, min, max in ms):\n");
  for (const Part& p : parts) {
    Stats s = stats_of(preload_times(records, false, p.get));
    if (s.n == 0) continue;
    fprintf(out, "  %-52s %8.1f %8.1f %8.1f  (n=%zu)\n", p.label, s.median, s.min, s.max, s.n);
  }
}

// One line per case: the drawn gap beyond one frame period, which is what
// freezes; below zero the last old frame was cut short.
void print_summary(FILE* out, const std::vector<SwitchRecord>& records) {
  fprintf(out, "\nSUMMARY (switch cases: drawn gap minus one frame period, %.0f ms):\n\n", FRAME_MS);
  fprintf(out, "| case | n | median | p90 | max |\n|---|---|---|---|---|\n");
  for (Mode mode : {Mode::Mid, Mode::End, Mode::Armed}) {
    Stats s = stats_of(collect(records, mode, [](const SwitchRecord& r, double& v) {
      v = ms(r.first_new_draw - r.last_old_draw) - FRAME_MS;
      return r.first_new_draw != 0;
    }));
    if (s.n == 0) continue;
    fprintf(out, "| %s | %zu | %.1f ms | %.1f ms | %.1f ms |\n", mode_name(mode), s.n, s.median, s.p90, s.max);
  }
  Stats p = stats_of(preload_times(records, false, [](const SwitchRecord& r, double& v) {
    v = ms(r.preload_done - r.preload_sent);
    return true;
  }));
  if (p.n) fprintf(out, "| preload | %zu | %.1f ms | %.1f ms | %.1f ms |\n", p.n, p.median, p.p90, p.max);
}

// ---------------------------------------------------------------- report

void print_header(FILE* out, const Options& o) {
  utsname u{};
  uname(&u);
  gchar* gst = gst_version_string();
  fprintf(out, "\n== switch latency ==\n");
  fprintf(out, "machine: %s, %ld online CPUs, %s %s, %s\n", cpu_model().c_str(), sysconf(_SC_NPROCESSORS_ONLN),
          u.sysname, u.release, gst);
  fprintf(out,
          "options: clips=%s mid-clips=%s mid=%d end=%d armed=%d preload=%d mid-at=%d ms jitter=%d ms seed=%u "
          "reaction=%d ms acks=%s sound=%s\n",
          o.clips_dir.c_str(), o.mid_clips_dir.c_str(), o.mid_switches, o.end_switches, o.armed_switches,
          o.preload_cycles, o.mid_at_ms, o.jitter_ms,
          o.seed, o.reaction_ms, o.acks ? "on" : "off", o.no_sound ? "off" : "on");
  g_free(gst);
}

void print_switch_row(FILE* out, const SwitchRecord& r) {
  fprintf(out, "%3d  %-8s  %-6s->%-6s  ", r.index, mode_name(r.mode), colour_name(r.from), colour_name(r.to));
  if (!r.measured) {
    fprintf(out, "NOT MEASURED:%s\n", r.note.c_str());
    return;
  }
  fprintf(out, "%10.1f  ", ms(r.first_new_arrive - r.last_old_arrive));
  if (r.first_new_draw)
    fprintf(out, "%9.1f ", ms(r.first_new_draw - r.last_old_draw));
  else
    fprintf(out, "%9s ", "-");
  fprintf(out, "%7.3f  %7.3f  ", GST_CLOCK_TIME_IS_VALID(r.last_old_pts) ? r.last_old_pts / 1e9 : -1.0,
          GST_CLOCK_TIME_IS_VALID(r.first_new_pts) ? r.first_new_pts / 1e9 : -1.0);
  fprintf(out, "%10.1f  %10.1f  %9.1f  ", r.begin ? ms(r.begin - r.sent) : -1.0,
          r.done && r.begin ? ms(r.done - r.begin) : -1.0, r.seek ? ms(r.first_new_arrive - r.seek) : -1.0);
  if (at_end(r.mode) && r.sink_eos && r.reported)
    fprintf(out, "%10.1f  ", ms(r.reported - r.sink_eos));
  else
    fprintf(out, "%10s  ", "-");
  fprintf(out, "%10d ", r.never_drawn_old);
  if (r.new_end_reported)
    fprintf(out, "%7.0f ", ms(r.new_end_reported - r.first_new_arrive));
  else
    fprintf(out, "%7s ", "-");
  fprintf(out, "%s%s\n", r.note.c_str(), r.driven_ok ? "" : " (driver gave up)");
}

void print_switch_table(FILE* out, const std::vector<SwitchRecord>& records) {
  fprintf(out, "\nper switch (times in ms; arrive = at the sink pad, draw = drawn by the sink):\n");
  fprintf(out,
          "  #  case      from->to        gap(arrive) gap(draw) old-pts  new-pts  sent->begin begin->done "
          "seek->new  eos->report never-drawn new-end notes\n");
  for (const SwitchRecord& r : records) print_switch_row(out, r);
}

const Part SENT_TO_BEGIN = {"\"switch\" written -> command starts", [](const SwitchRecord& r, double& v) {
                              v = ms(r.begin - r.sent);
                              return r.begin != 0;
                            }};

// The old file's last frame, alike whether the end is answered or armed.
const Part LAST_OLD_DRAWN = {"last old frame arrives -> drawn", [](const SwitchRecord& r, double& v) {
                               v = ms(r.last_old_draw - r.last_old_arrive);
                               return r.first_new_draw != 0;
                             }};
const Part LAST_OLD_TO_SINK_EOS = {"last old frame drawn -> EOS at video sink",
                                   [](const SwitchRecord& r, double& v) {
                                     v = ms(r.sink_eos - r.last_old_draw);
                                     return r.sink_eos != 0 && r.first_new_draw != 0;
                                   }};

// From the old file's last frame to the manager's "switch", which follows its end.
std::vector<Part> end_parts() {
  return {
      LAST_OLD_DRAWN,
      LAST_OLD_TO_SINK_EOS,
      {"EOS at video sink -> pipeline posts EOS", [](const SwitchRecord& r, double& v) {
         v = ms(r.bus_eos - r.sink_eos);
         return r.sink_eos != 0 && r.bus_eos != 0;
       }},
      {"pipeline posts EOS -> \"end of video!\" read", [](const SwitchRecord& r, double& v) {
         v = ms(r.reported - r.bus_eos);
         return r.bus_eos != 0 && r.reported != 0;
       }},
      {"\"end of video!\" read -> \"switch\" written", [](const SwitchRecord& r, double& v) {
         v = ms(r.sent - r.reported);
         return r.reported != 0;
       }},
      SENT_TO_BEGIN,
  };
}

// From switch_at_end being armed to the player's own start of the switch.
std::vector<Part> armed_parts() {
  return {
      {"\"switch_at_end\" written -> armed", [](const SwitchRecord& r, double& v) {
         v = ms(r.armed - r.sent);
         return r.armed != 0;
       }},
      LAST_OLD_DRAWN,
      LAST_OLD_TO_SINK_EOS,
      {"EOS at video sink -> loop takes the switch", [](const SwitchRecord& r, double& v) {
         v = ms(r.at_end_taken - r.sink_eos);
         return r.sink_eos != 0 && r.at_end_taken != 0;
       }},
      {"loop takes the switch -> command starts", [](const SwitchRecord& r, double& v) {
         v = ms(r.begin - r.at_end_taken);
         return r.begin != 0 && r.at_end_taken != 0;
       }},
  };
}

std::vector<Part> mid_parts() {
  return {
      {"old file's position when \"switch\" is written", [](const SwitchRecord& r, double& v) {
         v = r.position_at_send / 1e6;
         return GST_CLOCK_TIME_IS_VALID(r.position_at_send);
       }},
      {"\"switch\" written -> last old frame arrives", [](const SwitchRecord& r, double& v) {
         v = ms(r.last_old_arrive - r.sent);
         return true;
       }},
      SENT_TO_BEGIN,
  };
}

// The switch command itself, alike in every case.
std::vector<Part> command_parts() {
  return {
      {"command starts -> selector flipped", [](const SwitchRecord& r, double& v) {
         v = ms(r.flip - r.begin);
         return r.flip != 0 && r.begin != 0;
       }},
      {"selector flipped -> seek sent", [](const SwitchRecord& r, double& v) {
         v = ms(r.seek - r.flip);
         return r.seek != 0 && r.flip != 0;
       }},
      {"seek sent -> first new frame arrives", [](const SwitchRecord& r, double& v) {
         v = ms(r.first_new_arrive - r.seek);
         return r.seek != 0;
       }},
      {"first new frame arrives -> drawn", [](const SwitchRecord& r, double& v) {
         v = ms(r.first_new_draw - r.first_new_arrive);
         return r.first_new_draw != 0;
       }},
      {"command starts -> command returns", [](const SwitchRecord& r, double& v) {
         v = ms(r.done - r.begin);
         return r.done != 0 && r.begin != 0;
       }},
      {"old frames flushed before their time", [](const SwitchRecord& r, double& v) {
         v = r.never_drawn_old;
         return true;
       }},
  };
}

std::vector<Part> parts_of(Mode mode) {
  std::vector<Part> parts = mode == Mode::End ? end_parts() : mode == Mode::Armed ? armed_parts() : mid_parts();
  for (Part& p : command_parts()) parts.push_back(std::move(p));
  return parts;
}

// One case's gap, at the sink pad and on screen, and the steps it is made of.
void print_case(FILE* out, const std::vector<SwitchRecord>& records, Mode mode) {
  int excluded = 0, count = 0;
  for (const SwitchRecord& r : records)
    if (r.mode == mode) {
      count++;
      if (!r.measured || !r.on_time) excluded++;
    }
  if (count == 0) return;
  fprintf(out,
          "\n%s switches (warm-up excluded; %d not sent on time or not measured, left out), gap from last old "
          "frame to first new frame:\n\n",
          mode == Mode::Mid ? "MID-FILE" : mode == Mode::End ? "AT-END" : "ARMED (switch_at_end)", excluded);
  fprintf(out, "| measured at | n | median | p90 | min | max |\n|---|---|---|---|---|---|\n");
  print_stats_row(out, "arrival at the sink pad", stats_of(collect(records, mode, [](const SwitchRecord& r, double& v) {
                    v = ms(r.first_new_arrive - r.last_old_arrive);
                    return true;
                  })));
  print_stats_row(out, "drawn by the sink", stats_of(collect(records, mode, [](const SwitchRecord& r, double& v) {
                    v = ms(r.first_new_draw - r.last_old_draw);
                    return r.first_new_draw != 0;
                  })));
  fprintf(out, "\nwhere the time goes (median, min, max in ms):\n");
  for (const Part& p : parts_of(mode)) {
    Stats s = stats_of(collect(records, mode, p.get));
    if (s.n == 0) continue;
    fprintf(out, "  %-46s %8.1f %8.1f %8.1f  (n=%zu)\n", p.label, s.median, s.min, s.max, s.n);
  }
}

void print_bus_warnings(FILE* out) {
  std::map<std::string, int> warnings;
  for (const Event& e : timeline.sorted())
    if (e.kind == Ev::BusWarning) warnings[e.text]++;
  for (const auto& w : warnings) fprintf(out, "\nbus %s (%d times)", w.first.c_str(), w.second);
  if (!warnings.empty()) fprintf(out, "\n");
}

void print_problem_count(FILE* out, const std::vector<SwitchRecord>& records) {
  int problems = 0;
  for (const SwitchRecord& r : records)
    if (!r.measured || !r.note.empty() || !r.driven_ok) problems++;
  fprintf(out, "\nswitches with a problem: %d of %zu\n", problems, records.size());
}

}  // namespace

void print_report(FILE* out, const Options& o, const std::vector<SwitchRecord>& records) {
  print_header(out, o);
  print_switch_table(out, records);
  for (Mode mode : {Mode::Mid, Mode::End, Mode::Armed}) print_case(out, records, mode);
  print_preloads(out, records);
  print_summary(out, records);
  print_bus_warnings(out);
  print_problem_count(out, records);
}

namespace {

const char* event_name(Ev k) {
  switch (k) {
    case Ev::Arrive:
      return "arrive";
    case Ev::Draw:
      return "draw";
    case Ev::FlushStart:
      return "video-flush-start";
    case Ev::FlushStop:
      return "video-flush-stop";
    case Ev::Segment:
      return "video-segment";
    case Ev::SinkEos:
      return "video-eos";
    case Ev::Reported:
      return "end-of-video-read";
    case Ev::Sent:
      return "switch-written";
    case Ev::Begin:
      return "switch-begins";
    case Ev::Flip:
      return "selector-flipped";
    case Ev::Seek:
      return "seek-sent";
    case Ev::Done:
      return "switch-returns";
    case Ev::Rejected:
      return "switch-rejected";
    case Ev::AudioEos:
      return "audio-eos";
    case Ev::AudioFlushStart:
      return "audio-flush-start";
    case Ev::BusEos:
      return "pipeline-eos-posted";
    case Ev::BusWarning:
      return "bus-message";
    case Ev::PreloadComplete:
      return "preload-complete";
    case Ev::PreloadError:
      return "preload-error";
    case Ev::FatalError:
      return "fatal-error";
    case Ev::ArmSent:
      return "switch-at-end-written";
    case Ev::Armed:
      return "switch-at-end-armed";
    case Ev::ArmRejected:
      return "switch-at-end-rejected";
    case Ev::AtEnd:
      return "switch-at-end-taken";
    case Ev::PreloadSent:
      return "preload-written";
    case Ev::ArCheck:
      return "aspect-check-starts";
    case Ev::ArAnswer:
      return "ffprobe-answer";
  }
  return "?";
}

}  // namespace

void write_trace(const std::string& path) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return;
  for (const Event& e : timeline.sorted()) {
    fprintf(f, "%10.3f %-20s", (e.t - run_start) / 1000.0, event_name(e.kind));
    if (GST_CLOCK_TIME_IS_VALID(e.pts)) fprintf(f, " pts=%.3f", e.pts / 1e9);
    if (e.kind == Ev::Arrive || e.kind == Ev::Draw) fprintf(f, " %s", colour_name(e.colour));
    if (!e.text.empty()) fprintf(f, " %s", e.text.c_str());
    fprintf(f, "\n");
  }
  fclose(f);
}

void write_csv(const std::string& path, const std::vector<SwitchRecord>& records) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return;
  fprintf(f,
          "index,case,from,to,measured,gap_arrive_ms,gap_draw_ms,last_old_pts_s,first_new_pts_s,sent_to_begin_ms,"
          "begin_to_flip_ms,flip_to_seek_ms,seek_to_first_new_ms,begin_to_done_ms,sink_eos_to_report_ms,"
          "never_drawn_old,preload_ms,notes\n");
  for (const SwitchRecord& r : records) {
    fprintf(f, "%d,%s,%s,%s,%d,", r.index, mode_name(r.mode), colour_name(r.from), colour_name(r.to), r.measured);
    if (r.measured) {
      fprintf(f, "%.3f,", ms(r.first_new_arrive - r.last_old_arrive));
      if (r.first_new_draw)
        fprintf(f, "%.3f,", ms(r.first_new_draw - r.last_old_draw));
      else
        fprintf(f, ",");
      fprintf(f, "%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,", r.last_old_pts / 1e9, r.first_new_pts / 1e9,
              ms(r.begin - r.sent), ms(r.flip - r.begin), ms(r.seek - r.flip), ms(r.first_new_arrive - r.seek),
              ms(r.done - r.begin));
      if (r.sink_eos && r.reported)
        fprintf(f, "%.3f,", ms(r.reported - r.sink_eos));
      else
        fprintf(f, ",");
      fprintf(f, "%d,", r.never_drawn_old);
    } else {
      fprintf(f, ",,,,,,,,,,,");
    }
    if (r.preload_attempts == 1 && r.preload_done)
      fprintf(f, "%.3f,", ms(r.preload_done - r.preload_sent));
    else
      fprintf(f, ",");
    std::string notes = r.note;
    std::replace(notes.begin(), notes.end(), ',', ' ');
    fprintf(f, "%s\n", notes.c_str());
  }
  fclose(f);
}

}  // namespace latency
