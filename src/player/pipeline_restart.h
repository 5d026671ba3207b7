// The complete rebuild of the pipeline for the preloaded file or the file on
// screen. When it happens is restart/rebuild_policy.h's decision.
#pragma once
#include "core/player_state.h"

// TRUE: rebuilt (or nothing to rebuild); FALSE: the player cannot go on.
gboolean perform_complete_pipeline_restart(PlayerState& st, gboolean no_sound);
// Runs the pending rebuild with the heartbeat stopped; a failed rebuild sets quit.
void execute_pending_restart(PlayerState& st);
