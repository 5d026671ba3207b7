// A record of every picture the video sink draws, for measuring walls of
// screens: with VIDEO_PLAYER_FRAME_TRACE=FILE in its environment, the player
// appends "MONOTONIC_US CLOCK_NS RUNNING_NS DUE_NS PTS_NS" to FILE for each
// new picture, taken on the GL thread once its draw has returned (what a
// viewer sees from then on): the board's monotonic clock then, the
// pipeline's clock as the draw began, the picture's running time, the
// clock time it was due at (the same for the same picture on every screen of
// a wall) and its time in its file. Without it nothing is recorded.
#pragma once
#include <gst/gst.h>

// Main thread, for each GL sink made: records its pictures when asked to.
void frame_trace_attach(GstElement* sink);
