// The steps of a switch that the switch and the hand-over's completion
// share: what one switch carries from step to step, and how the branch that
// was on screen is stopped, taken out and handed to the clean-up.
#pragma once
#include <atomic>

#include "core/gst_holders.h"
#include "core/player_state.h"
#include "switching/branch.h"

// What one switch carries from step to step.
struct SwitchRun {
  explicit SwitchRun(PlayerState& s) : st(s) {}
  PlayerState& st;
  GstPad* new_video_pad = nullptr;  // the preload's, borrowed from its field
  PadRef old_video_pad;
  PadRef old_audio_pad;
  // The branch whose picture was on screen, and the one the video command put
  // aside (still heard, not seen) when that is another.
  ElementRef old_qtdemux_to_stop;
  ElementRef displaced;
  ElementRef old_filesrc, old_queue, old_h264parse;
  ElementRef old_audio_source, old_audio_queue, old_decodebin, old_audioconvert, old_audio_capsfilter;
  GstPad* silent_pad = nullptr;
  bool audio_flipped = false;
  // The new branch is held at its selector pads from before the flip until
  // the seek has restarted it: nothing of it meets an output still at the
  // old file's end, or the old file's data.
  PadRef held_video, held_audio;
  gulong video_hold = 0, audio_hold = 0;
  ~SwitchRun() { release_holds(); }
  void release_holds() {
    unhold_selector_pad(held_video.get(), video_hold);
    unhold_selector_pad(held_audio.get(), audio_hold);
    held_video.reset();
    held_audio.reset();
  }
};

// Sends flush-start into a selector pad that is no longer active: a thread the
// selector holds there (waiting for running time or for the other pads' end
// of stream) returns, and nothing more gets through the pad.
inline void release_held_thread(GstPad* pad) {
  if (pad) gst_pad_send_event(pad, gst_event_new_flush_start());
}

// The same, for a pad that may still be the selector's active one: that one
// is left alone, or the flush would reach the sink.
inline void release_inactive_thread(GstElement* selector, GstPad* pad) {
  if (!selector || !pad) return;
  GstPad* active = nullptr;
  g_object_get(selector, "active-pad", &active, nullptr);
  if (active != pad) release_held_thread(pad);
  if (active) gst_object_unref(active);
}

// Logs an element's state and pending state, waiting `timeout` for them.
void report_state(const char* format, GstElement* e, GstClockTime timeout);

// The old branch's sound elements (and a file without sound's silence) stop
// and leave the pipeline.
void stop_old_audio(SwitchRun& run);
// Its video elements, from the source on.
void stop_old_video_branch(SwitchRun& run);
// The branch a video command put aside, still running behind an inactive pad.
void remove_displaced_branch(SwitchRun& run);
// What is left of the old branch goes to the clean-up two seconds on.
void schedule_old_branch_cleanup(SwitchRun& run);
