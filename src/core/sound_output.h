// Where the sound goes and how loud: the ALSA device every pipeline's sound
// ends in (--audio-device), and the volume and mute set by the manager. The
// level is held in atomics written by the main thread; each pipeline's
// `volume` element follows it on its streaming thread, in a short ramp so
// that a change makes no click.
#pragma once
#include <gst/gst.h>

#include <string>

// Chosen once at start, before any pipeline. An empty device is ALSA's
// default. A device named here that cannot be opened is said once and the
// sound goes nowhere (the picture plays on).
void choose_sound_device(const std::string& device);
// A device missing at start is looked at again every few seconds, on a
// thread of its own; true once (main thread) when it has come back: the
// pipelines built from then on play into it again.
bool sound_device_back();
const std::string& sound_device();
// Ends the look-out for a missing device (shutdown).
void sound_stop();
// What a description ends its sound in: the volume element and the sink.
std::string sound_output_description();
// Gives a new pipeline's volume element the level now and the ramp that
// follows later changes.
void sound_attach(GstElement* pipeline);
// From the main thread; every pipeline's sound follows within a ramp.
void set_sound_level(double volume, bool mute);
double sound_volume();
bool sound_muted();
// How long a change of level takes, so that it makes no click.
constexpr double SOUND_RAMP_SECONDS = 0.03;
