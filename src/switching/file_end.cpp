#include "switching/file_end.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "core/gst_holders.h"
#include "switching/switch_at_end.h"
#include "switching/switch_command.h"

namespace {

// One per sink of the pipeline, shared with the probe on its pad.
struct SinkEnd {
  std::atomic<bool> ended{false};
};

struct Watch {
  std::vector<std::shared_ptr<SinkEnd>> sinks;
  GstElement* pipeline = nullptr;  // borrowed: the message's poster
  bool waiting = false;
  unsigned switches = 0;
};
// Written on the main thread, read by the sinks' streaming threads.
std::mutex watch_lock;
std::shared_ptr<Watch> watch;

bool all_ended(const Watch& w) {
  for (const auto& s : w.sinks)
    if (!s->ended) return false;
  return true;
}

// With watch_lock held: the end awaited is here.
GstMessage* take_awaited_end(Watch& w) {
  if (!w.waiting || !all_ended(w)) return nullptr;
  w.waiting = false;
  return gst_message_new_application(
      GST_OBJECT(w.pipeline), gst_structure_new(SINKS_ENDED_MESSAGE, "switches", G_TYPE_UINT, w.switches, nullptr));
}

GstPadProbeReturn on_sink_event(GstPad*, GstPadProbeInfo* info, gpointer data) {
  auto& end = **static_cast<std::shared_ptr<SinkEnd>*>(data);
  GstEventType type = GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info));
  if (type == GST_EVENT_FLUSH_STOP) {
    end.ended = false;
  } else if (type == GST_EVENT_EOS) {
    end.ended = true;
    // An armed switch takes this end for itself.
    if (switch_at_end_armed()) return GST_PAD_PROBE_OK;
    GstMessage* message = nullptr;
    GstElement* poster = nullptr;
    {
      std::lock_guard<std::mutex> lock(watch_lock);
      if (watch) {
        message = take_awaited_end(*watch);
        poster = watch->pipeline;
      }
    }
    if (message) gst_element_post_message(poster, message);
  }
  return GST_PAD_PROBE_OK;
}

void free_sink_end(gpointer data) { delete static_cast<std::shared_ptr<SinkEnd>*>(data); }

}  // namespace

void watch_sink_ends(GstElement* pipeline) {
  auto w = std::make_shared<Watch>();
  w->pipeline = pipeline;
  if (GST_IS_BIN(pipeline)) {
    GstIterator* it = gst_bin_iterate_sinks(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    for (bool done = false; !done;) {
      switch (gst_iterator_next(it, &item)) {
        case GST_ITERATOR_OK: {
          PadRef pad(gst_element_get_static_pad(GST_ELEMENT(g_value_get_object(&item)), "sink"));
          if (pad) {
            auto end = std::make_shared<SinkEnd>();
            w->sinks.push_back(end);
            gst_pad_add_probe(pad.get(),
                              static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                           GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                              on_sink_event, new std::shared_ptr<SinkEnd>(end), free_sink_end);
          }
          g_value_reset(&item);
          break;
        }
        case GST_ITERATOR_RESYNC:
          gst_iterator_resync(it);
          w->sinks.clear();
          break;
        default:
          done = true;
          break;
      }
    }
    g_value_unset(&item);
    gst_iterator_free(it);
  }
  std::lock_guard<std::mutex> lock(watch_lock);
  watch = w;
}

bool every_sink_at_end() {
  std::lock_guard<std::mutex> lock(watch_lock);
  return !watch || all_ended(*watch);
}

void await_end_at_sinks() {
  GstMessage* message = nullptr;
  GstElement* poster = nullptr;
  {
    std::lock_guard<std::mutex> lock(watch_lock);
    if (!watch) return;
    watch->waiting = true;
    watch->switches = switches_made();
    message = take_awaited_end(*watch);  // every sink may have ended meanwhile
    poster = watch->pipeline;
  }
  if (message) gst_element_post_message(poster, message);
}

bool is_current_sinks_ended_message(GstMessage* msg) {
  if (GST_MESSAGE_TYPE(msg) != GST_MESSAGE_APPLICATION) return false;
  const GstStructure* s = gst_message_get_structure(msg);
  if (!s || !gst_structure_has_name(s, SINKS_ENDED_MESSAGE)) return false;
  guint switches = 0;
  gst_structure_get_uint(s, "switches", &switches);
  return switches == switches_made();
}
