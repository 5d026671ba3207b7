// The complete rebuild of the pipeline for the preloaded file or the file on screen.
#pragma once
#include "core/player_state.h"

// TRUE: rebuilt (or nothing to rebuild); FALSE: the player cannot go on.
gboolean perform_complete_pipeline_restart(PlayerState& st, gboolean no_sound);
