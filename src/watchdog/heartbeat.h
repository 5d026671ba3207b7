// The heartbeat thread: ends the process when the main loop stops iterating
// and reports "crash" when a PLAYING pipeline stops advancing.
#pragma once
#include <gst/gst.h>

#include <cstdint>

constexpr int STALLED_TIMEOUT = 30;          // seconds without progress before "crash"
constexpr int HEARTBEAT_PERIOD_SECONDS = 5;  // time between two checks

extern gint64 last_position;
extern int stalled_seconds;

void heartbeat_monitor_thread();
// Starts the thread (heartbeat_running := 1).
void start_heartbeat();
// Stops and joins the thread; returns promptly, not after the current period.
void stop_heartbeat();
bool heartbeat_is_started();
