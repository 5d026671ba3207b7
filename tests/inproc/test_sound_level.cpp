// The sound's level on real buffers: "appsrc ! volume ! appsink", attached
// as the player attaches every pipeline, a steady signal pushed through in
// 10 ms buffers while the level changes. A change moves the gain in a
// straight line over the ramp, never past its two ends (no step, no dip),
// and the level then stays where it was set, held by the element itself.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <vector>

#include "core/sound_output.h"

namespace {

constexpr int RATE = 48000;
constexpr int FRAMES = 480;  // 10 ms
constexpr gint16 SIGNAL = 10000;

class SoundLevel : public ::testing::Test {
 protected:
  void SetUp() override {
    set_sound_level(1.0, false);
    pipeline = gst_parse_launch(
        "appsrc name=src format=time caps=audio/x-raw,format=S16LE,layout=interleaved,rate=48000,channels=2 ! "
        "volume name=volume ! appsink name=out sync=false",
        nullptr);
    ASSERT_TRUE(pipeline);
    sound_attach(pipeline);
    src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  }
  void TearDown() override {
    set_sound_level(1.0, false);
    if (pipeline) gst_element_set_state(pipeline, GST_STATE_NULL);
    for (GstElement* e : {src, out, pipeline})
      if (e) gst_object_unref(e);
  }
  // Pushes `buffers` buffers of the signal and returns the left channel as it came out.
  std::vector<int> play(int buffers) {
    std::vector<int> heard;
    for (int b = 0; b < buffers; ++b) {
      GstBuffer* buffer = gst_buffer_new_allocate(nullptr, FRAMES * 4, nullptr);
      GstMapInfo map;
      gst_buffer_map(buffer, &map, GST_MAP_WRITE);
      auto* s = reinterpret_cast<gint16*>(map.data);
      for (int i = 0; i < FRAMES * 2; ++i) s[i] = SIGNAL;
      gst_buffer_unmap(buffer, &map);
      GST_BUFFER_PTS(buffer) = gst_util_uint64_scale(pushed, GST_SECOND, RATE);
      GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale(FRAMES, GST_SECOND, RATE);
      pushed += FRAMES;
      GstFlowReturn ret;
      g_signal_emit_by_name(src, "push-buffer", buffer, &ret);
      gst_buffer_unref(buffer);
      GstSample* sample = nullptr;
      g_signal_emit_by_name(out, "try-pull-sample", 5 * GST_SECOND, &sample);
      if (!sample) break;
      gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ);
      auto* o = reinterpret_cast<const gint16*>(map.data);
      for (gsize i = 0; i < map.size / 4; ++i) heard.push_back(o[i * 2]);
      gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
      gst_sample_unref(sample);
    }
    return heard;
  }
  // A change from `from` to `to`: a straight line over the ramp, then the level.
  void expect_ramp(const std::vector<int>& heard, double from, double to) {
    const size_t ramp = static_cast<size_t>(RATE * SOUND_RAMP_SECONDS);
    ASSERT_GT(heard.size(), ramp + FRAMES);
    for (size_t i = 0; i < heard.size(); ++i) {
      double gain = i < ramp ? from + (to - from) * static_cast<double>(i) / ramp : to;
      ASSERT_NEAR(heard[i], SIGNAL * gain, 3) << "frame " << i << " of a change from " << from << " to " << to;
    }
  }
  GstElement* pipeline = nullptr;
  GstElement* src = nullptr;
  GstElement* out = nullptr;
  guint64 pushed = 0;
};

}  // namespace

TEST_F(SoundLevel, EachChangeIsAStraightRampToTheLevelSetThatThenHolds) {
  std::vector<int> before = play(3);
  ASSERT_EQ(before.size(), 3u * FRAMES);
  for (int v : before) ASSERT_EQ(v, SIGNAL);
  set_sound_level(0.3, false);
  expect_ramp(play(8), 1.0, 0.3);
  set_sound_level(0.3, true);
  expect_ramp(play(8), 0.3, 0.0);
  set_sound_level(0.8, false);
  expect_ramp(play(8), 0.0, 0.8);
  set_sound_level(1.0, false);
  expect_ramp(play(8), 0.8, 1.0);
}
