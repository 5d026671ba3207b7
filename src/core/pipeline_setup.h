// Choosing and building the pipeline for a media location, and finding the
// elements the rest of the player works on.
#pragma once
#include <gst/gst.h>

#include <string>

#include "core/player_state.h"

// What every branch delivers to the audio selector: two channels, and one
// sample format and layout, so that a switch changes no more than the rate
// (a format change arriving at the flip could reach the output converter
// ahead of its caps).
#define STEREO_CAPS "audio/x-raw,format=S16LE,layout=interleaved,channels=2"

enum class SourceKind { Synthetic, HttpStream, Camera, Matroska, Mp4, WebM, Other };

// Text from the last "." of the location to its end, or "" without a dot.
std::string location_extension(const char* location);
SourceKind classify_location(const char* location);
// Makes any text safe between the double quotes of a pipeline description.
std::string escape_for_description(const std::string& text);
// The gst_parse_launch description for a kind (empty for Other: a playbin is made instead).
std::string startup_description(SourceKind kind, const char* location, gboolean no_sound);
// The rebuild's switching pipeline for one MP4 file.
std::string switching_description(const char* path, gboolean no_sound);
// "file://" + location, as given.
std::string file_uri_for(const char* location);

GstElement* build_startup_pipeline(const char* location, gboolean no_sound);
// Pictures are timed by the system clock, not by the sound card: when the
// audio sink has nothing to play (a file without sound, a sound server that
// went away) its clock stalls or leaps and the video would freeze or rush.
void use_system_clock(GstElement* pipeline);
// Fills the selectors, file source, sink and glupload of the state from the pipeline's children.
void discover_elements(PlayerState& st);
// Keeps a file's stream layout from stopping the pipeline: a demuxer without an
// audio stream would leave the audio queue of a sound description unfed (the
// pipeline could never preroll), so when the demuxer has announced all its pads
// such queues receive an empty audio stream that ends at once; and streams that
// are neither video nor audio (subtitles) are discarded, since an unlinked one
// makes the demuxer stop with "not-linked".
void guard_demuxers(GstElement* pipeline);
// An audio stream that ends at once: stream start, raw stereo caps, segment, end of stream.
void send_empty_audio_stream(GstPad* pad);
// "SUCCESS", "ASYNC", "FAILURE" or "NO_PREROLL".
const char* state_change_text(GstStateChangeReturn r);
// Drops the data of a demuxer pad that nothing consumes.
void discard_stream(GstPad* pad);
