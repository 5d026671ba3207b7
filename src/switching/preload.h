// The preload command: a second source branch built next to the one on screen.
#pragma once
#include "core/commands.h"
#include "core/player_state.h"

CommandOutcome handle_preload_command(PlayerState& st, const char* path);
