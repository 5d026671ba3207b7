// The armed switch made where the old file's streams end, upstream of the
// decoder. Arming rewinds the preload and holds its first buffers at its
// parser and at its audio filter. When each of the old file's streams ends
// there, its selector turns to the new file's stream, whose running time is
// moved on to the old file's end: the decoder drains the old file's last
// pictures at the new stream's start and decodes the new file's first
// picture while the old file's last one is still on screen, and the sink
// shows it one frame later, on the clock. Nothing flushes, nothing seeks,
// nothing waits for the bus or the loop.
//
// Placed at a running time instead (switch_at), the new file's position
// shows at that time: a stream of the old file that has not ended a little
// before it is cut there (its selector turns on the clock's thread, and the
// sinks drop what of it would show from that time on).
#pragma once
#include "core/player_state.h"

// A running time at which a position of the new file is to show.
struct HandoverTime {
  GstClockTime running_time = 0;
  GstClockTime position = 0;
};

// Main thread, when the switch is armed: true when the hand-over is set up.
// False when it cannot serve (the pipeline not playing, one file with sound
// and the other without, a stream of the file on screen already ended, a
// rebuild due at the end, a video command's file on screen): an armed switch
// is then taken at the video sink's end of stream.
bool arm_handover(PlayerState& st, unsigned generation, const HandoverTime* at = nullptr);
// Main thread: forgets the hand-over, its probes and its clock waits. One not
// yet begun leaves the preload as it was, streaming into its dropping
// probes; one begun (a selector has turned) cannot be undone: the caller
// finishes it first (finish_handover).
void disarm_handover();
bool handover_armed();
// A selector has turned to the new file: the switch is under way.
bool handover_begun();

// Posted when the old file's end is on screen (the new file's first picture is due).
constexpr const char* HANDOVER_MESSAGE = "video-player-handover";
bool is_handover_message(GstMessage* msg);
// The generation the hand-over was armed with, 0 for a message of one that
// was forgotten since.
unsigned handover_message_generation(GstMessage* msg);
// Placed at a running time (switch_at), not at the old file's end.
bool handover_placed();
// Every stream of the old file has reached its end (none was cut).
bool handover_old_file_ended();
// Main thread, once the new file's first picture is due (or a command cannot
// wait for it): the old branch goes as after any switch and the preload
// becomes the file on screen.
void finish_handover(PlayerState& st);

// The running time at which the file on screen ends (its longer stream), or
// GST_CLOCK_TIME_NONE when its streams do not tell.
GstClockTime file_on_screen_end(PlayerState& st);
// The sinks of a pipeline drop what of it would show from `running` on: it
// is cut there, for good (the pipeline is on its way out).
void drop_from(GstElement* pipeline, GstClockTime running);
// The pipeline's running time now, on its clock (0 without one).
GstClockTime pipeline_running_time(GstElement* pipeline);
