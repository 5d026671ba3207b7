// A record of every picture the video sink draws, for measuring walls of
// screens: with VIDEO_PLAYER_FRAME_TRACE=FILE in its environment, the player
// appends "MONOTONIC_US CLOCK_NS RUNNING_NS" to FILE for each new picture,
// taken on the GL thread as the sink draws it (the pipeline's clock, and the
// picture's running time). Without it nothing is recorded.
#pragma once
#include <gst/gst.h>

// Main thread, for each GL sink made: records its pictures when asked to.
void frame_trace_attach(GstElement* sink);
