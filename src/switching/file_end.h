// When the file on screen has ended. The pipeline reports an end once every
// sink has posted one, but it keeps a sink's end from before a switch's
// flush: after a switch, a new file whose sound ends at once (a file without
// sound) would look ended as soon as it starts. Such an end is set aside, and
// the real one is awaited at the sinks themselves.
#pragma once
#include <gst/gst.h>

// Follows the end of stream at each sink of a new pipeline: an end counts
// until a flush takes it away. Main thread, once per pipeline.
void watch_sink_ends(GstElement* pipeline);
// Whether every sink is at its end now.
bool every_sink_at_end();
// Once every sink is at its end (and no switch came in between), a message
// (below) goes to the bus.
void await_end_at_sinks();

constexpr const char* SINKS_ENDED_MESSAGE = "video-player-sinks-ended";
// True for that message, when no switch has come since it was awaited.
bool is_current_sinks_ended_message(GstMessage* msg);
