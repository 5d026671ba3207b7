// A rebuild for a preload of another picture shape, made ready before it is
// due. Its new pipeline is built and prerolled behind the file on screen,
// into the same window, without showing its first picture; it is started on
// the same clock so that this picture shows where the file on screen ends
// (or at the time a switch_at places it); once the new pipeline has drawn
// it, the old pipeline goes and the new one takes its place, with the events
// of any rebuild. The change of shape then costs one frame, like a switch.
// Whatever changes the file on screen or the preload drops it, and a
// rebuild still due then happens at the end of the file, as without it.
#pragma once
#include "core/player_state.h"

// Main loop, each iteration: prepares, places and hands over.
void prepared_rebuild_step(PlayerState& st);
// Main thread, when the file on screen has ended (its end on the bus): true
// when the prepared rebuild takes that moment, so that no other rebuild runs.
bool prepared_rebuild_takes_end(PlayerState& st);
// Main thread: drops the prepared pipeline, if any.
void drop_prepared_rebuild();
