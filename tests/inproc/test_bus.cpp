// Bus draining on a real pipeline's bus: limits, valid ends of stream, errors.
#include <gtest/gtest.h>

#include "player/main_loop.h"
#include "messaging/ack_delivery.h"
#include "protocol/protocol.h"
#include "support/test_support.h"

namespace {

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ack_system_running = 0;  // events come out as plain lines
    st.pipeline = gst_pipeline_new("pipeline_under_test");
    demux = gst_element_factory_make("identity", "demux_under_test");
    old_demux = gst_element_factory_make("identity", "preload_demux_old");
    gst_bin_add_many(GST_BIN(st.pipeline), demux, old_demux, nullptr);
    st.bus = gst_element_get_bus(st.pipeline);
  }
  void TearDown() override {
    if (active_qtdemux) gst_object_unref(active_qtdemux);
    active_qtdemux = nullptr;
    cleanup_in_progress = 0;
    restart_scheduled = 0;
    waiting_for_video_end = 0;
    restart_pending = 0;
    suppress_events = 0;
    gst_object_unref(st.bus);
    gst_object_unref(st.pipeline);
  }
  void post_eos(GstElement* from) { gst_bus_post(st.bus, gst_message_new_eos(GST_OBJECT(from))); }
  void post_state(GstElement* from, GstState o, GstState n) {
    gst_bus_post(st.bus, gst_message_new_state_changed(GST_OBJECT(from), o, n, GST_STATE_VOID_PENDING));
  }

  PlayerState st;
  GstElement* demux = nullptr;
  GstElement* old_demux = nullptr;
};

}  // namespace

TEST_F(BusTest, EndOfStreamIsReportedOnlyForTheVideoOnScreen) {
  StdoutCapture out;
  post_eos(st.pipeline);  // start-up file: nothing active yet
  drain_bus(st);
  EXPECT_TRUE(out.has_substring(protocol::EOS_NO_SOURCE));
  EXPECT_EQ(out.count_line(protocol::END_OF_VIDEO), 0);

  active_qtdemux = GST_ELEMENT(gst_object_ref(demux));
  post_eos(old_demux);
  post_eos(demux);
  post_eos(st.pipeline);
  drain_bus(st);
  EXPECT_TRUE(out.has_substring("[EOS] IGNORED - from orphan element: preload_demux_old"));
  EXPECT_EQ(out.count_line(protocol::END_OF_VIDEO), 2);

  cleanup_in_progress = 1;
  post_eos(st.pipeline);
  drain_bus(st);
  EXPECT_TRUE(out.has_substring("[EOS] IGNORED - cleanup in progress"));
  EXPECT_EQ(out.count_line(protocol::END_OF_VIDEO), 2);
  cleanup_in_progress = 0;

  suppress_events = 1;
  post_eos(st.pipeline);
  drain_bus(st);
  EXPECT_EQ(out.count_line(protocol::END_OF_VIDEO), 2);
}

TEST_F(BusTest, ScheduledRestartTakesTheEndOfStreamInsteadOfTheEvent) {
  active_qtdemux = GST_ELEMENT(gst_object_ref(demux));
  restart_scheduled = 1;
  waiting_for_video_end = 1;
  StdoutCapture out;
  post_eos(st.pipeline);
  drain_bus(st);
  EXPECT_EQ(out.count_line(protocol::REBUILD_AT_EOS), 1);
  EXPECT_EQ(out.count_line(protocol::END_OF_VIDEO), 0);
  EXPECT_EQ(restart_pending.load(), 1);
}

TEST_F(BusTest, AtMostFiftyElementStateChangesPerPass) {
  StdoutCapture out;
  for (int i = 0; i < 60; ++i) post_state(demux, GST_STATE_READY, GST_STATE_PAUSED);
  post_eos(st.pipeline);
  drain_bus(st);
  EXPECT_EQ(out.count_line("[BUS] ⚠️  DISCARDED state-changed from demux_under_test (limit reached: 50 messages)"), 1);
  EXPECT_EQ(out.count_line("[BUS] Processing STATE_CHANGED message from demux_under_test..."), 50);
  EXPECT_FALSE(out.has_substring("[BUS] Processing EOS message"));
  drain_bus(st);
  EXPECT_EQ(out.count_line("[BUS] Processing STATE_CHANGED message from demux_under_test..."), 59);
  EXPECT_TRUE(out.has_substring("[BUS] Processing EOS message"));
}

TEST_F(BusTest, PipelinePlayingSendsPlayingAndWatchedNamesAreLogged) {
  GstElement* src = gst_element_factory_make("identity", "filesrc0");
  GstElement* sel = gst_element_factory_make("identity", "selector");
  gst_bin_add_many(GST_BIN(st.pipeline), src, sel, nullptr);
  StdoutCapture out;
  post_state(st.pipeline, GST_STATE_PAUSED, GST_STATE_PLAYING);
  post_state(src, GST_STATE_PAUSED, GST_STATE_PLAYING);
  post_state(sel, GST_STATE_PAUSED, GST_STATE_PLAYING);
  drain_bus(st);
  EXPECT_EQ(out.count_line(protocol::PLAYING), 1);
  EXPECT_EQ(out.count_line("[STATE] filesrc0: PAUSED -> PLAYING"), 1);
  EXPECT_FALSE(out.has_substring("[STATE] selector:"));

  suppress_events = 1;
  post_state(st.pipeline, GST_STATE_PAUSED, GST_STATE_PLAYING);
  drain_bus(st);
  EXPECT_EQ(out.count_line(protocol::PLAYING), 1);
}

TEST_F(BusTest, ErrorFromAnyElementEndsTheLoop) {
  StdoutCapture out;
  GError* err = g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, "old branch failed");
  gst_bus_post(st.bus, gst_message_new_error(GST_OBJECT(old_demux), err, "details here"));
  g_error_free(err);
  post_eos(st.pipeline);
  drain_bus(st);
  EXPECT_TRUE(st.quit);
  EXPECT_TRUE(st.fatal_error);
  EXPECT_EQ(out.count_line("[stderr] Erro: old branch failed"), 1);
  EXPECT_EQ(out.count_line("[stderr] Debug info: details here"), 1);
  // Draining goes on after the error.
  EXPECT_TRUE(out.has_substring("[BUS] Processing EOS message"));
}
