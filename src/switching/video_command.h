// The video command: loads a file at once, without preload and switch.
#pragma once
#include "player/commands.h"
#include "core/player_state.h"

CommandOutcome handle_video_command(PlayerState& st, const char* path);
