// The H.264 decoder that every pipeline description names between the video
// selector and glupload. Chosen once at start (platform/decoder_choice.h),
// before any pipeline or thread exists, and only read after that.
#pragma once
#include <gst/gst.h>

#include <string>

struct VideoDecoder {
  std::string element = "avdec_h264";
  bool hardware = false;
  bool stateless = false;  // a hardware decoder driven per frame (v4l2sl...)
  unsigned threads = 0;    // the software decoder's threads; 0 leaves them to it
  bool forced = false;     // named with --decoder
};

const VideoDecoder& video_decoder();
void set_video_decoder(const VideoDecoder& decoder);
// What a description puts for the decoder, with its settings.
std::string video_decoder_description();
// The line that says the choice (protocol::DECODER_CHOSEN, then the element and its kind).
std::string video_decoder_line();
// Why the chosen decoder cannot take a stream of these caps (a demuxer's
// H.264 caps): its profile, level or picture size is outside the decoder's
// sink caps. Empty when it can, or when the caps do not say.
std::string decoder_refusal(const GstCaps* stream_caps);
