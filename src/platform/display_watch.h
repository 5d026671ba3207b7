// Whether the display still lets frames be drawn. A GL swap that waits for a
// display that stopped answering holds the sink's GL thread, and with it the
// sink's streaming thread and any seek or state change behind it; nothing in
// GStreamer bounds that wait. The GL thread is asked now and then to run an
// empty task: while it is held, the question stays unanswered.
#pragma once
#include <gst/gst.h>

#include <string>

// How long a question may wait before the display counts as stuck.
constexpr double DISPLAY_ANSWER_LIMIT_S = 8;

// Names the display for lines ("the X display :0"). At start-up, before the
// threads that read it.
void display_watch_name(std::string name);
const char* display_watch_name();
// Main thread, each pass: asks the GL thread of the sink (a GL sink or
// nullptr) again, once the last question was answered and a second has passed.
void display_watch_poll(GstElement* gl_sink);
// Any thread: seconds the open question has waited, 0 when none is open.
double display_unanswered_seconds();
// Any thread: writes why and ends the process with status 1, so that the
// manager starts the player again once the display is back.
[[noreturn]] void display_lost(const char* why);
