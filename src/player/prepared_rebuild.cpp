#include "player/prepared_rebuild.h"

#include <atomic>
#include <memory>
#include <string>

#include "core/gst_holders.h"
#include "core/log.h"
#include "platform/screen.h"
#include "player/pipeline_restart.h"
#include "restart/rebuild_policy.h"
#include "switching/branch.h"
#include "switching/cleanup.h"
#include "switching/handover.h"
#include "watchdog/heartbeat.h"

namespace {

// The new pipeline is placed at least this far ahead of the clock, so that
// its first picture is not late: its sinks go to PLAYING in this time.
constexpr GstClockTime LEAD = 40 * GST_MSECOND;
// Its first picture drawn, or this long past its time, it takes over.
constexpr GstClockTime SHOW_LIMIT = 2 * GST_SECOND;
constexpr GstClockTime FRAME_SLACK = 50 * GST_MSECOND;

struct Prepared {
  ElementRef pipeline;
  GstBus* bus = nullptr;
  std::string path;
  unsigned branch = 0;  // the preload it was made for
  bool sought = false;  // at the position asked for, when one was
  bool placed = false;
  bool cut = false;  // placed before the old file's end, which is cut there
  GstClockTime at = GST_CLOCK_TIME_NONE;  // the old pipeline's running time of its first picture
  std::optional<GstClockTime> asked;      // the time switch_at asked for when it was placed
  // Pictures that reached the new sink: the second comes once the first is drawn.
  std::shared_ptr<std::atomic<int>> pictures = std::make_shared<std::atomic<int>>(0);
  ~Prepared() {
    if (pipeline) gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    if (bus) gst_object_unref(bus);
  }
};

// Main thread only.
std::unique_ptr<Prepared> prepared;
std::string failed_path;  // a preload whose preparation failed is not tried again

GstPadProbeReturn count_picture(GstPad*, GstPadProbeInfo*, gpointer data) {
  ++**static_cast<std::shared_ptr<std::atomic<int>>*>(data);
  return GST_PAD_PROBE_OK;
}

void free_count(gpointer data) { delete static_cast<std::shared_ptr<std::atomic<int>>*>(data); }

bool steadily(GstElement* pipeline, GstState wanted) {
  GstState state = GST_STATE_NULL, pending = GST_STATE_VOID_PENDING;
  gst_element_get_state(pipeline, &state, &pending, 0);
  return state == wanted && pending == GST_STATE_VOID_PENDING;
}

bool wanted(PlayerState& st) {
  return rebuild_due_at_video_end() && !restart_for_ar_fix && st.preload_ready && st.preload_checked &&
         st.preload_video_path && st.pipeline && !st.video_switching_in_progress &&
         steadily(st.pipeline, GST_STATE_PLAYING);
}

// The new pipeline's file starts at its running time 0: a wall's player
// places its pipelines' first files ahead by their selectors' offsets, which
// would move the prerolled picture; here the base time places it.
void clear_offsets(GstElement* pipeline) {
  for_each_element(gst_bin_iterate_recurse(GST_BIN(pipeline)), [](GstElement* e) {
    if (strcmp(factory_name(e), "input-selector") != 0) return;
    GstIterator* pads = gst_element_iterate_sink_pads(e);
    GValue pad = G_VALUE_INIT;
    while (gst_iterator_next(pads, &pad) == GST_ITERATOR_OK) {
      gst_pad_set_offset(GST_PAD(g_value_get_object(&pad)), 0);
      g_value_reset(&pad);
    }
    g_value_unset(&pad);
    gst_iterator_free(pads);
  });
}

void prepare(PlayerState& st) {
  std::string path = st.preload_video_path;
  if (path == failed_path) return;
  GstElement* pipeline = make_rebuilt_pipeline(path, st.no_sound);
  if (!pipeline) {
    failed_path = path;
    log_line("[RESTART] The rebuild for %s cannot be made ahead - it is made at the end of the file", path.c_str());
    return;
  }
  auto p = std::make_unique<Prepared>();
  p->pipeline.reset(pipeline);
  p->path = path;
  p->branch = st.preload_branch_id;
  p->bus = gst_element_get_bus(pipeline);
  ElementRef sink(gst_bin_get_by_name(GST_BIN(pipeline), "videosink"));
  if (sink) {
    // Its first picture waits, unseen, for its time.
    g_object_set(sink.get(), "show-preroll-frame", FALSE, nullptr);
    PadRef pad(gst_element_get_static_pad(sink.get(), "sink"));
    if (pad)
      gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, count_picture,
                        new std::shared_ptr<std::atomic<int>>(p->pictures), free_count);
  }
  clear_offsets(pipeline);
  gst_element_set_state(pipeline, GST_STATE_PAUSED);
  log_line("[RESTART] 🎬 Preparing the rebuild for %s behind the file on screen", path.c_str());
  prepared = std::move(p);
}

// The new pipeline runs on the old one's clock, its first picture at the
// old pipeline's running time `at`: its base time is moved on by that much.
void start_at(Prepared& p, GstElement* old, GstClockTime at) {
  GstElement* pipeline = p.pipeline.get();
  if (GstClock* clock = gst_element_get_clock(old)) {
    gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock);
    gst_object_unref(clock);
  }
  gst_element_set_start_time(pipeline, GST_CLOCK_TIME_NONE);
  gst_element_set_base_time(pipeline, gst_element_get_base_time(old) + at);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
}

// Once prerolled: where the file on screen ends, or the time switch_at asked for.
void place(PlayerState& st, Prepared& p) {
  if (!steadily(p.pipeline.get(), GST_STATE_PAUSED)) return;
  std::optional<PlacedRebuild> asked = placed_rebuild();
  if (asked && asked->position > 0 && !p.sought) {
    p.sought = true;
    gst_element_seek_simple(p.pipeline.get(), GST_FORMAT_TIME,
                            static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                            static_cast<gint64>(asked->position));
    return;  // prerolls again at the position
  }
  GstClockTime end = file_on_screen_end(st);
  GstClockTime at = asked ? asked->running : end;
  if (!GST_CLOCK_TIME_IS_VALID(at)) return;  // its end, when it comes, places it
  GstClockTime nearest = pipeline_running_time(st.pipeline) + LEAD;
  if (at < nearest) {
    log_line("[RESTART] The rebuild's time is past or too near - its first picture shows %.3f s later",
             static_cast<double>(nearest - at) / GST_SECOND);
    at = nearest;
  }
  p.cut = asked && !(GST_CLOCK_TIME_IS_VALID(end) && at + FRAME_SLACK >= end);
  if (p.cut) drop_from(st.pipeline, at);
  p.at = at;
  p.asked = asked ? std::optional<GstClockTime>(asked->running) : std::nullopt;
  p.placed = true;
  start_at(p, st.pipeline, at);
  log_line("[RESTART] The rebuild for %s shows its first picture at clock time %llu (in %.3f s)%s", p.path.c_str(),
           static_cast<unsigned long long>(gst_element_get_base_time(st.pipeline) + at),
           static_cast<double>(at - (nearest - LEAD)) / GST_SECOND, p.cut ? ", the file on screen cut there" : "");
}

// The new pipeline has drawn its first picture over the old one's last: the
// old pipeline goes, and the new one is the player's, as after any rebuild.
void take_over(PlayerState& st) {
  std::unique_ptr<Prepared> p = std::move(prepared);
  log_line("[RESTART] 🔄 The rebuild prepared for %s takes over", p->path.c_str());
  stop_heartbeat();
  suppress_events = 1;
  rebuild_started();
  if (guint id = cancel_pending_cleanup()) log_raw("[RESTART] ⚠️  Cancelled pending cleanup (ID: %u) before restart\n", id);
  cleanup_in_progress = 0;
  preload_progress_freeze();
  bool shared_base = gst_element_get_start_time(st.pipeline) == GST_CLOCK_TIME_NONE;
  tear_down_pipeline(st);
  clear_pipeline_handles(st);
  GstElement* pipeline = p->pipeline.release();
  adopt_rebuilt_pipeline(st, pipeline, st.no_sound);
  if (st.glimagesink_element) g_object_set(st.glimagesink_element, "show-preroll-frame", TRUE, nullptr);
  // Off a wall, a pause or a flush sets the base time again, as on any pipeline.
  if (!shared_base) gst_element_set_start_time(pipeline, 0);
  take_new_bus(st);
  st.is_playing = TRUE;
  bool cut = p->cut;
  p.reset();
  rebuild_done();
  // A file cut before its end did not end: the rebuild is then told as one
  // for the preload's shape, which the preload's "Preload complete" closes.
  bool for_ratio = take_rebuild_for_ratio() || cut;
  announce_rebuild(for_ratio);
  start_heartbeat();
}

// Errors of the new pipeline before it is on screen: it is dropped; its
// other messages wait on its bus for the loop, once it is the player's.
bool failed(Prepared& p) {
  GstMessage* msg = gst_bus_pop_filtered(p.bus, GST_MESSAGE_ERROR);
  if (!msg) return false;
  GError* err = nullptr;
  gst_message_parse_error(msg, &err, nullptr);
  log_line("[RESTART] The rebuild prepared for %s failed (%s) - it is made at the end of the file instead",
           p.path.c_str(), err ? err->message : "unknown");
  if (err) g_error_free(err);
  gst_message_unref(msg);
  failed_path = p.path;
  return true;
}

void forget_prepared(const char* why) {
  if (!prepared) return;
  std::unique_ptr<Prepared> p = std::move(prepared);
  log_line("[RESTART] The rebuild prepared for %s is dropped: %s", p->path.c_str(), why);
  p.reset();
  // The pipeline on screen is the one the screen follows again.
  screen_follow(global_pipeline.load());
}

}  // namespace

void drop_prepared_rebuild() { forget_prepared("the file on screen or the preload changed"); }

void prepared_rebuild_step(PlayerState& st) {
  static bool hooked = false;
  if (!hooked) set_prepared_rebuild_drop(drop_prepared_rebuild);
  hooked = true;
  if (prepared && failed(*prepared)) forget_prepared("it failed");
  if (prepared && (prepared->branch != st.preload_branch_id || !wanted(st)) &&
      !(prepared->placed && rebuild_due_at_video_end()))
    forget_prepared("the rebuild is no longer due for its file");
  if (!prepared) {
    if (wanted(st)) prepare(st);
    return;
  }
  Prepared& p = *prepared;
  std::optional<PlacedRebuild> asked = placed_rebuild();
  if (p.placed && (asked ? std::optional<GstClockTime>(asked->running) : std::nullopt) != p.asked) {
    forget_prepared("it is asked for at another time");
    return;
  }
  if (!p.placed) {
    place(st, p);
    return;
  }
  if (*p.pictures >= 2 || pipeline_running_time(st.pipeline) > p.at + SHOW_LIMIT) take_over(st);
}

bool prepared_rebuild_takes_end(PlayerState& st) {
  if (!prepared) return false;
  if (!prepared->placed) place(st, *prepared);
  if (prepared->placed) return true;
  forget_prepared("the file on screen ended before the new pipeline was ready");
  return false;
}
