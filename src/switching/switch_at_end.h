// The switch armed in advance: it happens the moment the file on screen ends,
// at its end of stream in the video sink, without waiting for the bus, the
// manager and the command reader.
#pragma once
#include "core/player_state.h"

// Arms the switch when `switch` would take the preload now; otherwise logs
// the refusal as `switch` does.
void handle_switch_at_end_command(PlayerState& st);
// "switch_at <clock time> [<position>]": arms a hand-over that shows the
// preload's position at that time of the pipeline's clock; refused with a
// line when the hand-over cannot serve.
void handle_switch_at_command(PlayerState& st, const char* args);
// Arms a hand-over placed as soon as it can be kept (a fraction of a
// second); false when it cannot serve.
bool place_switch_now(PlayerState& st);
// Forgets an armed switch: another switch, a video command or a rebuild
// changes what would end or what would follow.
// The file on screen is about to change: the switch armed for its end, and an
// end already signalled for it, are forgotten.
void disarm_switch_at_end();
// The preload is gone but the file on screen stays: nothing more is armed,
// and an end already signalled is still reported.
void cancel_switch_at_end();
bool switch_at_end_armed();

// Posted from the video sink's streaming thread when the armed moment comes;
// the main loop then reports the end and switches.
constexpr const char* SWITCH_AT_END_MESSAGE = "video-player-switch-at-end";
bool is_switch_at_end_message(GstMessage* msg);
// A command that cannot wait for a hand-over under way (its selectors have
// turned) has it finished first, as its message would: the end is reported
// and the new file is the one on screen.
void finish_handover_now(PlayerState& st);
void handle_switch_at_end_message(PlayerState& st, GstMessage* msg);
