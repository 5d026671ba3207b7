// The video command: loads a file at once, without preload and switch.
#pragma once
#include "core/command_outcome.h"
#include "core/player_state.h"

CommandOutcome handle_video_command(PlayerState& st, const char* path);

// The video command's branch failed before its picture showed (a broken
// file): it goes, the file on screen plays on. Main thread.
void handle_video_failure(PlayerState& st, const char* reason);
// True when `branch` is the video command's branch and it has not shown yet.
bool video_branch_failing(PlayerState& st, unsigned branch);
// Lets go of the record of the video command's branch (it showed, or the
// pipeline it was in is gone).
void forget_video_branch(PlayerState& st);
