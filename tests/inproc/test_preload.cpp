// The preload branch on a real running pipeline.
#include <gst/gst.h>

#include "core/gst_holders.h"
#include "protocol/protocol.h"
#include "switching/branch.h"
#include "player_fixture.h"
#include "switching/preload.h"
#include "switching/switch_command.h"

namespace {

class Preload : public PlayerInProcess {
 protected:
  // On a time-out, says which part of the preload never came in.
  bool wait_ready(double seconds = 20) {
    if (pump_until([] { return st().preload_ready.load() == 1; }, seconds)) return true;
    std::lock_guard<std::mutex> lock(preload_lock());
    const PreloadProgress& p = preload_progress();
    ADD_FAILURE() << "preload not ready: active=" << p.active << " video_linked=" << p.video_linked
                  << " audio=" << static_cast<int>(p.audio) << " ratios_read=" << p.ratios_read
                  << " decided=" << p.decided;
    return false;
  }
  GstElement* by_name(const char* name) { return gst_bin_get_by_name(GST_BIN(st().pipeline), name); }
  bool has_element(const char* name) {
    ElementRef e(by_name(name));
    return static_cast<bool>(e);
  }
  // Waits, without pumping, until the current branch's video pad handler has
  // put out its selector pad but not yet marked the branch ready: the handler
  // is then in its pause before it looks whether it was replaced.
  bool wait_handler_midway(double seconds = 20) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
    while (std::chrono::steady_clock::now() < deadline) {
      if (st().preload_selector_pad.load()) return st().preload_ready.load() == 0;
      g_usleep(1000);
    }
    return false;
  }
};

}  // namespace

TEST_F(Preload, NamesElementsByCounterAndRefusesASecondOne) {
  start(clip("red.mp4"));
  command_play(st());
  EXPECT_EQ(handle_preload_command(st(), clip("missing.mp4").c_str()), CommandOutcome::Rejected);
  EXPECT_EQ(handle_preload_command(st(), clip("green.mp4").c_str()), CommandOutcome::Processed);
  EXPECT_TRUE(has_element("preload_filesrc1"));
  EXPECT_TRUE(has_element("preload_demux1"));
  ASSERT_TRUE(wait_ready());
  ASSERT_TRUE(wait_line(protocol::PRELOAD_COMPLETE, 10));
  EXPECT_EQ(handle_preload_command(st(), clip("blue.mp4").c_str()), CommandOutcome::Rejected);
  EXPECT_EQ(out->count_line("[PRELOAD] ⛔ REJECTED - Already have preloaded video. Switch first."), 1);
  EXPECT_EQ(out->count_line(protocol::PRELOAD_ERROR), 2);  // the missing file, then the refusal
  handle_switch_command(st());
  EXPECT_EQ(handle_preload_command(st(), clip("blue.mp4").c_str()), CommandOutcome::Processed);
  EXPECT_TRUE(has_element("preload_filesrc2"));
  ASSERT_TRUE(wait_ready());
  EXPECT_TRUE(pump_until([this] { return out->count_line(protocol::PRELOAD_COMPLETE) == 2; }, 10));
}

TEST_F(Preload, ReplacingAPreloadWhileItsHandlerRunsLeavesNothingBehind) {
  start(clip("red.mp4"));
  command_play(st());
  int pads_before = selector_pads(st().input_selector);
  int audio_pads_before = selector_pads(st().audio_selector);
  int elements_before = top_level_elements();
  // The first two branches are each replaced while their video pad handler
  // is midway: its selector pad is out, the branch not yet ready.
  for (int round = 1; round <= 3; ++round) {
    ASSERT_EQ(handle_preload_command(st(), clip(round % 2 ? "green.mp4" : "blue.mp4").c_str()),
              CommandOutcome::Processed)
        << round;
    if (round < 3) ASSERT_TRUE(wait_handler_midway()) << round;
  }
  ASSERT_TRUE(wait_ready());
  ASSERT_TRUE(pump_until([] { return st().preload_audio_selector_pad.load() != nullptr; }, 10));
  pump_for(1.5);  // late handlers of the replaced branches
  EXPECT_EQ(out->count_line("[PRELOAD] Branch was replaced while its video pad was being linked - ignoring it"), 2);
  // The third branch alone is left: one pad on each selector, and its four
  // video elements, its audio queue, decodebin, converter and caps filter.
  EXPECT_EQ(selector_pads(st().input_selector), pads_before + 1);
  EXPECT_EQ(selector_pads(st().audio_selector), audio_pads_before + 1);
  EXPECT_EQ(top_level_elements(), elements_before + 8);
  for (const char* prefix : {"preload_filesrc", "preload_demux", "preload_queue", "preload_h264parse",
                             "preload_audio_queue", "preload_decodebin", "preload_audioconvert"})
    for (int n : {1, 2}) EXPECT_FALSE(has_element(numbered(prefix, n).c_str())) << numbered(prefix, n);
  GstPad* pad = st().preload_selector_pad.load();
  ASSERT_NE(pad, nullptr);
  PadRef peer(gst_pad_get_peer(pad));
  ASSERT_TRUE(peer);
  ElementRef parser(gst_pad_get_parent_element(peer.get()));
  ASSERT_TRUE(parser);
  EXPECT_STREQ(GST_OBJECT_NAME(parser.get()), "preload_h264parse3");
  EXPECT_EQ(parser.get(), st().preload_h264parse);
  EXPECT_TRUE(pump_until([this] { return out->count_line(protocol::PRELOAD_COMPLETE) == 1; }, 10));
  EXPECT_EQ(out->count_line(protocol::PRELOAD_ERROR), 0);

  // Once ready, the branch is no longer replaced: the next preload is refused
  // and adds nothing.
  EXPECT_EQ(handle_preload_command(st(), clip("green.mp4").c_str()), CommandOutcome::Rejected);
  EXPECT_EQ(out->count_line(protocol::PRELOAD_ERROR), 1);
  EXPECT_EQ(st().preload_h264parse, parser.get());
  EXPECT_EQ(top_level_elements(), elements_before + 8);
  EXPECT_EQ(selector_pads(st().input_selector), pads_before + 1);
  EXPECT_EQ(st().element_counter, 4);
}

TEST_F(Preload, WithoutSoundTheBranchHasOnlyVideoElements) {
  start(clip("red.mp4"), TRUE);
  command_play(st());
  int elements_before = top_level_elements();
  ASSERT_EQ(handle_preload_command(st(), clip("green.mp4").c_str()), CommandOutcome::Processed);
  ASSERT_TRUE(wait_ready());
  EXPECT_EQ(top_level_elements(), elements_before + 4);
  EXPECT_EQ(st().preload_audio_queue, nullptr);
  EXPECT_EQ(g_object_get_data(G_OBJECT(st().preload_qtdemux), "audio_queue"), nullptr);
  EXPECT_TRUE(wait_line("DEBUG: Audio elements not available (probably --no_sound or initial video)", 5));
}

namespace {

class StereoPreload : public Preload {
 protected:
  void expect_stereo(const char* file) {
    start(clip("red.mp4"));
    command_play(st());
    ASSERT_EQ(handle_preload_command(st(), clip(file).c_str()), CommandOutcome::Processed);
    ASSERT_TRUE(wait_ready());
    ASSERT_TRUE(pump_until([] { return st().preload_audio_selector_pad.load() != nullptr; }, 10));
    GstPad* pad = st().preload_audio_selector_pad.load();
    ASSERT_TRUE(pump_until([pad] { return gst_pad_has_current_caps(pad); }, 10));
    GstCaps* caps = gst_pad_get_current_caps(pad);
    int channels = 0;
    gst_structure_get_int(gst_caps_get_structure(caps, 0), "channels", &channels);
    gst_caps_unref(caps);
    EXPECT_EQ(channels, 2);
    // Held back: the selector still plays the running file's sound.
    PadRef active;
    g_object_get(st().audio_selector, "active-pad", active.out_ptr(), nullptr);
    EXPECT_NE(active.get(), pad);
  }
};

}  // namespace

TEST_F(StereoPreload, MonoReachesTheSelectorAsStereo) { expect_stereo("mono.mp4"); }
TEST_F(StereoPreload, SurroundReachesTheSelectorAsStereo) { expect_stereo("surround.mp4"); }

TEST_F(Preload, SecondVideoStreamAndSubtitleStreamAreLeftAlone) {
  start(clip("red.mp4"));
  command_play(st());
  ASSERT_EQ(handle_preload_command(st(), clip("two_video.mp4").c_str()), CommandOutcome::Processed);
  ASSERT_TRUE(wait_ready());
  EXPECT_TRUE(wait_line("ERROR: Failed to link queue to h264parse", 10));
  EXPECT_TRUE(wait_line(protocol::PRELOAD_COMPLETE, 10));
  handle_switch_command(st());
  pump_for(2.5);
  ASSERT_EQ(handle_preload_command(st(), clip("subtitle.mp4").c_str()), CommandOutcome::Processed);
  ASSERT_TRUE(wait_ready());
  EXPECT_TRUE(pump_until([this] { return out->count_line(protocol::PRELOAD_COMPLETE) == 2; }, 10));
  EXPECT_FALSE(st().quit);
}

TEST_F(Preload, MissingPathGivesALineAndMissingFileAPreloadError) {
  start(clip("red.mp4"));
  EXPECT_EQ(handle_preload_command(st(), ""), CommandOutcome::Processed);
  EXPECT_EQ(out->count_line("ERROR: preload command requires path and input-selector"), 1);
  EXPECT_EQ(handle_preload_command(st(), "/no/such/file.mp4"), CommandOutcome::Rejected);
  EXPECT_EQ(out->count_line("ERROR: Preload file does not exist: /no/such/file.mp4"), 1);
  // A manager waiting for the preload's outcome is told.
  EXPECT_EQ(out->count_line(protocol::PRELOAD_ERROR), 1);
  EXPECT_EQ(st().element_counter, 1);
}

TEST_F(Preload, RefusedWithoutAVideoSelector) {
  start(clip("clip.mkv"));
  EXPECT_EQ(handle_preload_command(st(), clip("green.mp4").c_str()), CommandOutcome::Processed);
  EXPECT_EQ(out->count_line("ERROR: preload command requires path and input-selector"), 1);
}

TEST_F(Preload, SilentFileDoesNotHoldBackTheRunningFile) {
  start(clip("red.mp4"));
  command_play(st());
  ASSERT_EQ(handle_preload_command(st(), clip("silent.mp4").c_str()), CommandOutcome::Processed);
  ASSERT_TRUE(wait_ready());
  pump_for(0.5);
  GstState state = GST_STATE_NULL;
  gst_element_get_state(st().pipeline, &state, nullptr, 0);
  EXPECT_EQ(state, GST_STATE_PLAYING);
  // The running file still plays to its end, which reaches the bus.
  EXPECT_TRUE(wait_line(protocol::EOS_NO_SOURCE, 15));
}
