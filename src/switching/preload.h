// The preload command: a second source branch built next to the one on screen.
#pragma once
#include "core/command_outcome.h"
#include "core/player_state.h"

CommandOutcome handle_preload_command(PlayerState& st, const char* path);
// drop_preload: the preload goes, ready or not; the file on screen plays on.
void handle_drop_preload_command(PlayerState& st);

// Stops, removes and forgets the preload in hand, ready or not (a branch that
// is already on screen is only forgotten).
void discard_preload(PlayerState& st);
// A preload that can never complete (an error from one of its elements, or a
// stream it cannot carry): says so, drops it and answers "Preload error".
// Ignored when `demuxer` is no longer the preload's.
void handle_preload_failure(PlayerState& st, GstElement* demuxer, const char* reason);
// True when the object is one of the preload's elements or inside one.
bool preload_owns(const PlayerState& st, GstObject* object);

// Notes, as each is posted, the errors of the preload's elements.
void watch_preload_errors(GstBus* bus);
// The number of the preloaded branch that posted this error while it was the
// preload, or 0. Each error is answered once.
unsigned preload_error_branch(GstMessage* msg);
