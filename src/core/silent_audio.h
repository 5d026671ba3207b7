// A file without sound still offers a sound stream: silence of the player's
// own, as long as the file. Every file then has the same streams, so that a
// change between a file with sound and one without is made like any other:
// handed over where the old file ends, placed on a shared clock, or at the
// sinks' end, and the sound output never stops in between.
#pragma once
#include <gst/gst.h>

// On a branch's demuxer: its source of silence, when its file has no sound.
constexpr const char* SILENT_SOURCE_KEY = "audio_source";

// Makes a source of silence in the branch's stereo format, in `bin` (in
// NULL, not linked), that ends at `length` of its stream time; a seek to a
// position goes on from there to the same end. Returns it (the bin owns it)
// or nullptr.
GstElement* make_silent_audio(GstBin* bin, GstClockTime length);
// The silent source's output.
GstPad* silent_audio_src(GstElement* silence);
// The length of the file behind a demuxer: its longest stream, or
// GST_CLOCK_TIME_NONE when it does not tell.
GstClockTime demuxer_length(GstElement* demuxer);
