// The deferred release of the branch a switch replaced.
#pragma once
#include <gst/gst.h>

constexpr guint CLEANUP_DELAY_SECONDS = 2;

struct CleanupData {
  GstElement* pipeline;  // borrowed
  GstElement* old_qtdemux;
  GstElement* old_filesrc;
  GstElement* old_queue;
  GstElement* old_h264parse;
  GstElement* old_audio_queue;
  GstElement* old_decodebin;
  GstElement* old_audioconvert;
  GstElement* old_audio_capsfilter;
  GstElement* audio_selector;  // borrowed
  GstPad* old_audio_pad;
  GstElement* video_selector;  // borrowed
  GstPad* old_video_pad;
  int has_audio;
};

gboolean cleanup_old_video_source_callback(gpointer user_data);
// Schedules the record's release CLEANUP_DELAY_SECONDS from now.
guint schedule_cleanup(CleanupData* data);
// Cancels a pending cleanup and releases what its record holds right away.
// Returns the id that was cancelled, 0 when none was pending.
guint cancel_pending_cleanup();
