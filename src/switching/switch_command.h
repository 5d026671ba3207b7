// The switch command: turns picture and sound over to the preloaded branch.
#pragma once
#include "core/player_state.h"

void handle_switch_command(PlayerState& st);
