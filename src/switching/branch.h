// What every source branch carries, and the pieces the switching commands share.
#pragma once
#include <gst/gst.h>

#include <mutex>
#include <string>

#include "core/player_state.h"

// Object-data keys set on a branch's demuxer.
namespace branch_key {
constexpr const char* FILESRC = "filesrc";
constexpr const char* QUEUE = "queue";
constexpr const char* H264PARSE = "h264parse";
constexpr const char* SELECTOR = "selector";
constexpr const char* IS_PRELOAD = "is_preload";
constexpr const char* AUDIO_QUEUE = "audio_queue";
constexpr const char* DECODEBIN = "decodebin";
constexpr const char* AUDIOCONVERT = "audioconvert";
constexpr const char* AUDIO_SELECTOR = "audio_selector";
constexpr const char* PRELOAD_AUDIO_PAD = "preload_audio_pad";
constexpr const char* PRELOAD_AUDIO_CAPSFILTER = "preload_audio_capsfilter";
constexpr const char* AUDIO_CAPSFILTER = "audio_capsfilter";
}  // namespace branch_key

constexpr guint64 BRANCH_QUEUE_MAX_TIME = 30000000000ULL;  // 30 s; buffers and bytes unbounded

struct AudioLinkContext {
  GstElement* audioconvert;
  GstElement* audio_selector;
  int is_preload;
  std::atomic<GstPad*>* audio_pad_out;
  std::atomic<GstElement*>* capsfilter_out;
  GstElement* demuxer;
};

// Serialises the preload fields between a preload being replaced on the main
// thread and the pad handlers of that preload on streaming threads.
std::mutex& preload_lock();

GstElement* object_element(GstElement* demuxer, const char* key);
// Branch elements carry names of their own: default names ("queue0",
// "decodebin0") could clash with the names a rebuilt pipeline gives its own
// elements, and a bin refuses a second child of the same name.
std::string numbered(const char* prefix, int number);
void set_queue_limits(GstElement* queue);

void on_pad_added(GstElement* demuxer, GstPad* pad, gpointer user_data);
void on_decodebin_pad_added(GstElement* decodebin, GstPad* pad, gpointer user_data);
GstPadProbeReturn preload_blocking_probe(GstPad* pad, GstPadProbeInfo* info, gpointer user_data);

// Flushes a selector sink pad (start, then stop) so that a streaming thread
// held inside the selector returns and the pad forgets an end of stream.
void flush_selector_pad(GstPad* pad);
