// The picture on screen as a PNG file, from the video sink's last frame: the
// same on every display set-up, with or without a display server.
#pragma once
#include "core/player_state.h"

// "snapshot <path>": takes the sink's last frame now and writes it as a PNG
// to the path (an absolute one) on a thread of its own, so that the loop
// never waits for the encoder; one at a time. Says how it went in a line.
void handle_snapshot_command(PlayerState& st, const char* path);
// Waits for a snapshot still being written; before the pipeline is released.
void finish_snapshot();
