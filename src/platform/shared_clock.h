// The clock a wall of screens shares. A player of a wall runs every pipeline
// on a network clock kept in step with the leader's (GStreamer's
// GstNetClientClock), with a latency common to the wall and, when given, one
// base time that flushes leave alone: the same running time is then on
// screen at the same clock time on every board, and a switch placed at a
// clock time happens everywhere at once. Without these options nothing
// changes: each pipeline picks its own clock.
#pragma once
#include <gst/gst.h>

#include <string>

struct SharedClockOptions {
  std::string address;                            // "HOST:PORT" of the leader's time provider
  GstClockTime latency = GST_CLOCK_TIME_NONE;     // the wall's pipeline latency
  GstClockTime base_time = GST_CLOCK_TIME_NONE;   // running time 0, on the shared clock
};

// "HOST:PORT" with a port of 1 to 65535.
bool parse_host_port(const std::string& text, std::string& host, int& port);
// Makes the network clock and waits a while for it to be in step, saying so
// in a line either way. Main thread, once, before the first pipeline. False
// when the address is not HOST:PORT.
bool shared_clock_start(const SharedClockOptions& options);
// Puts a new pipeline (in NULL) on the shared clock, latency and base time.
void shared_clock_attach(GstElement* pipeline);
// The shared clock, or nullptr when the player runs on its pipeline's own.
GstClock* shared_clock();
void shared_clock_stop();
