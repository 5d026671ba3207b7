// The switch command: turns picture and sound over to the preloaded branch.
#pragma once
#include "core/player_state.h"

void handle_switch_command(PlayerState& st);
// True, with the refusal logged, when a switch could not take the preload now.
bool switch_refused(PlayerState& st);
// The rest of a switch whose selectors have turned where the old file ended
// (the hand-over): the old branch, ended upstream, is stopped and handed to
// the clean-up, and the preload becomes the file on screen. The pads are the
// old branch's selector pads (no sound: nullptr).
void complete_handed_over_switch(PlayerState& st, GstPad* old_video_pad, GstPad* old_audio_pad);

// Right after its seek, a switch posts a marker on the bus. An end of stream
// drained before that marker was posted before the seek: it belongs to the
// file switched away from, not to the new one.
constexpr const char* SWITCH_MARKER = "video-player-switch-marker";
extern int switch_markers_pending;
void mark_switch_on_bus(PlayerState& st);
// How many switches have been made (each marks the bus once).
unsigned switches_made();
bool is_switch_marker(GstMessage* msg);
