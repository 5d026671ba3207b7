// Whose fault a pipeline error is, from the element path in its debug text:
// a file is blamed only for an error that its own source, demuxer, parser or
// decoder posted, never for one from the display or the sound output.
#pragma once
#include <string>

struct ErrorOrigin {
  std::string element;          // the path of the element that posted it; empty when the text names none
  bool file_part = false;       // a source, demuxer, parser or decoder: the file's data is at fault
  bool preload_branch = false;  // an element of a branch built for a preload
};

// From the player's "Debug info" text of a bus error, for example
// "../gst/isomp4/qtdemux.c(509): fn (): /GstPipeline:pipeline0/GstQTDemux:demux0:".
ErrorOrigin error_origin(const std::string& debug_text);
