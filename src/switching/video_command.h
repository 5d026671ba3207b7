// The video command: loads a file at once, without preload and switch.
#pragma once
#include "core/command_outcome.h"
#include "core/player_state.h"

CommandOutcome handle_video_command(PlayerState& st, const char* path);
