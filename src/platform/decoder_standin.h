// The board decodes H.264 with the stateless V4L2 element "v4l2slh264dec".
// Where that element is not registered, a bin of the same name around the
// software decoder takes its place, so the pipeline descriptions stay as they are.
#pragma once

// Registers the stand-in when no "v4l2slh264dec" factory exists; logs one
// WARNING line when it does so. Returns true when the stand-in is in use.
bool ensure_h264_decoder_available();
