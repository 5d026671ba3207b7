// The complete rebuild of the pipeline for the preloaded file or the file on
// screen. When it happens is restart/rebuild_policy.h's decision.
#pragma once
#include <string>

#include "core/player_state.h"

// TRUE: rebuilt (or nothing to rebuild); FALSE: the player cannot go on.
gboolean perform_complete_pipeline_restart(PlayerState& st, gboolean no_sound);
// Runs the pending rebuild with the heartbeat stopped; a failed rebuild sets quit.
void execute_pending_restart(PlayerState& st);

// The rebuild's steps, shared with the rebuild prepared ahead
// (prepared_rebuild.h). A fresh switching pipeline for `target`, on the
// player's window and clock, in NULL; nullptr when it cannot be made.
GstElement* make_rebuilt_pipeline(const std::string& target, gboolean no_sound);
// The old pipeline stopped and released (left behind if it will not stop),
// and the state's handles to it and its preload forgotten.
void tear_down_pipeline(PlayerState& st);
void clear_pipeline_handles(PlayerState& st);
// The new pipeline becomes the one on screen: handles, its branch's record,
// the watch on its sinks' ends.
void adopt_rebuilt_pipeline(PlayerState& st, GstElement* pipeline, gboolean no_sound);
// The state's bus is the pipeline's.
void take_new_bus(PlayerState& st);
// The rebuild's events: "end of video!" (unless it was for a preload's
// shape), "reset", "playing", and "Preload complete" for a shape.
void announce_rebuild(bool for_ratio);
