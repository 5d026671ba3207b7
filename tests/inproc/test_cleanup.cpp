// The deferred cleanup's rules on elements that are still in the pipeline.
#include "core/gst_holders.h"
#include "player_fixture.h"
#include "switching/cleanup.h"

namespace {

// An element that refuses to go from READY to NULL.
struct Stubborn {
  GstElement parent;
};
struct StubbornClass {
  GstElementClass parent_class;
};

GstStateChangeReturn stubborn_change_state(GstElement* e, GstStateChange t) {
  if (t == GST_STATE_CHANGE_READY_TO_NULL) return GST_STATE_CHANGE_FAILURE;
  return GST_ELEMENT_CLASS(g_type_class_peek_parent(G_OBJECT_GET_CLASS(e)))->change_state(e, t);
}

GType stubborn_get_type() {
  static GType type = 0;
  if (!type)
    type = g_type_register_static_simple(
        GST_TYPE_ELEMENT, "TestStubbornElement", sizeof(StubbornClass),
        [](gpointer klass, gpointer) { GST_ELEMENT_CLASS(klass)->change_state = stubborn_change_state; },
        sizeof(Stubborn), nullptr, static_cast<GTypeFlags>(0));
  return type;
}

GstElement* make(const char* factory, const char* name) { return gst_element_factory_make(factory, name); }

}  // namespace

TEST(Cleanup, ElementsStillInThePipelineAreStoppedRemovedOrCountedAsLeaks) {
  GstElement* pipeline = gst_pipeline_new("cleanup_pipeline");
  GstElement* demux = make("identity", "old_demux");
  GstElement* stubborn = GST_ELEMENT(g_object_new(stubborn_get_type(), "name", "old_src", nullptr));
  GstElement* parser = make("identity", "old_parser");
  GstElement* video_selector = make("input-selector", "vsel");
  GstElement* audio_convert = make("identity", "old_convert");
  GstElement* audio_selector = make("input-selector", "asel");
  GstElement* feeder = make("identity", "feeder");  // not part of the old branch
  gst_bin_add_many(GST_BIN(pipeline), demux, stubborn, parser, video_selector, audio_convert, audio_selector, feeder,
                   nullptr);
  GstPad* vpad = gst_element_request_pad_simple(video_selector, "sink_%u");
  GstPad* apad = gst_element_request_pad_simple(audio_selector, "sink_%u");
  {
    PadRef src(gst_element_get_static_pad(feeder, "src"));
    ASSERT_EQ(gst_pad_link(src.get(), vpad), GST_PAD_LINK_OK);
    PadRef asrc(gst_element_get_static_pad(audio_convert, "src"));
    ASSERT_EQ(gst_pad_link(asrc.get(), apad), GST_PAD_LINK_OK);
  }
  gst_element_set_state(stubborn, GST_STATE_READY);
  global_pipeline = pipeline;

  auto* d = g_new0(CleanupData, 1);
  d->pipeline = pipeline;
  d->old_qtdemux = GST_ELEMENT(gst_object_ref(demux));
  d->old_filesrc = GST_ELEMENT(gst_object_ref(stubborn));
  d->old_h264parse = GST_ELEMENT(gst_object_ref(parser));
  d->video_selector = video_selector;
  d->old_video_pad = vpad;  // the record owns the request's reference
  d->has_audio = 1;
  d->audio_selector = audio_selector;
  d->old_audio_pad = apad;
  StdoutCapture out;
  cleanup_old_video_source_callback(d);

  EXPECT_TRUE(out.has_substring("[CLEANUP ERROR] ⚠️  old_filesrc not ready (state=READY, pending="));
  EXPECT_EQ(out.count_line("[CLEANUP] ✅ Removed and cleared old_qtdemux"), 1);
  EXPECT_EQ(out.count_line("[CLEANUP] ✅ Removed and cleared old_h264parse"), 1);
  EXPECT_EQ(out.count_line("[CLEANUP] ⚠️  Video pad still linked - FORCING UNLINK before release..."), 1);
  EXPECT_EQ(out.count_line("[CLEANUP] ✅ Video selector pad released"), 1);
  EXPECT_EQ(out.count_line("[CLEANUP] ⚠️  Pad still linked - FORCING UNLINK before release..."), 1);
  EXPECT_EQ(out.count_line("[CLEANUP] ✅ Audio selector pad released"), 1);
  EXPECT_EQ(out.count_line("[CLEANUP ERROR] ⚠️⚠️⚠️  MEMORY LEAK WARNING: 1 elements could NOT be removed safely!"), 1);
  EXPECT_EQ(out.count_line("[CLEANUP ERROR] ⚠️  Player continues running but with 1 leaked elements in memory"), 1);
  EXPECT_EQ(cleanup_in_progress.load(), 0);
  EXPECT_EQ(active_cleanup_timeout_id.load(), 0u);

  int n = -1;
  g_object_get(video_selector, "n-pads", &n, nullptr);
  EXPECT_EQ(n, 0);
  ElementRef still_there(gst_bin_get_by_name(GST_BIN(pipeline), "old_src"));
  EXPECT_TRUE(still_there);  // left where it was
  global_pipeline = nullptr;
  if (HasFailure()) fprintf(stderr, "%s", out.text().c_str());
}

TEST(Cleanup, RecordForAReplacedPipelineTouchesNothing) {
  StdoutCapture out;
  GstElement* old_pipeline = gst_pipeline_new("old");
  GstElement* demux = gst_element_factory_make("identity", nullptr);
  gst_bin_add(GST_BIN(old_pipeline), demux);
  global_pipeline = nullptr;  // a rebuild replaced it
  auto* d = g_new0(CleanupData, 1);
  d->pipeline = old_pipeline;
  d->old_qtdemux = GST_ELEMENT(gst_object_ref(demux));
  cleanup_old_video_source_callback(d);
  EXPECT_EQ(out.count_line("[CLEANUP] ⚠️  SKIP: Pipeline was destroyed (restart occurred)"), 1);
  EXPECT_EQ(GST_OBJECT_PARENT(demux), GST_OBJECT(old_pipeline));
  EXPECT_EQ(GST_OBJECT_REFCOUNT_VALUE(demux), 1);  // the record's reference was dropped
  EXPECT_EQ(cleanup_old_video_source_callback(nullptr), FALSE);
  EXPECT_EQ(out.count_line("[CLEANUP] CRITICAL: user_data is NULL - aborting"), 1);
  gst_object_unref(old_pipeline);
}
