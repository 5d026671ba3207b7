// GStreamer's own log keeps level 3 without the GL debugging that level turns on.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include "player/lifecycle.h"

TEST(GStreamerLog, LevelThreeStaysAndGlDebuggingIsOff) {
  gst_init(nullptr, nullptr);
  GstDebugLevel before = gst_debug_get_default_threshold();
  gst_debug_set_default_threshold(GST_LEVEL_FIXME);  // what GST_DEBUG=3 sets
  keep_gl_debugging_off();
  // The categories GStreamer's GL library looks at, found by name as it finds
  // them, whether it registered them before or registers them later.
  GstDebugCategory* gl_debug = _gst_debug_category_new("gldebug", 0, "OpenGL Debugging");
  GstDebugCategory* gl_marker = _gst_debug_category_new("gldebugmarker", 0, "OpenGL Markers");
  GstDebugCategory* other = _gst_debug_category_new("videodecoder", 0, "Base Video Decoder");
  EXPECT_LT(gst_debug_category_get_threshold(gl_debug), GST_LEVEL_WARNING);  // no callback, no timer queries
  EXPECT_LT(gst_debug_category_get_threshold(gl_marker), GST_LEVEL_FIXME);   // no markers
  EXPECT_EQ(gst_debug_category_get_threshold(other), GST_LEVEL_FIXME);
  gst_debug_unset_threshold_for_name("gldebug");
  gst_debug_unset_threshold_for_name("gldebugmarker");
  gst_debug_set_default_threshold(before);
}
