// Runs the player's own pieces in this process on a real pipeline: events
// come out as plain lines (no acknowledgement needed) and are captured.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "player/commands.h"
#include "player/lifecycle.h"
#include "player/main_loop.h"
#include "core/player_state.h"
#include "messaging/ack_delivery.h"
#include "support/test_support.h"

class PlayerInProcess : public ::testing::Test {
 protected:
  void start(const std::string& location, gboolean no_sound = FALSE) {
    forget_previous_player();
    ack_system_running = 0;
    out.reset();  // restore the real output before capturing anew
    out = std::make_unique<StdoutCapture>();
    storage_ = location;
    StartupOptions opts;
    opts.location = storage_.empty() ? nullptr : storage_.c_str();
    opts.no_sound = no_sound;
    ASSERT_TRUE(build_and_discover(st(), opts));
    preroll_pipeline(st(), 20 * GST_SECOND);
  }
  void TearDown() override {
    if (st().pipeline) release_pipeline(st());
    if (out && HasFailure()) {
      // gtest's own failure lines went into the capture too: show its tail.
      auto lines = out->lines();
      // Errors first, wherever they were: the tail may be long past them.
      for (const auto& l : lines)
        if (l.find("ERROR") != std::string::npos || l.find("[stderr]") != std::string::npos)
          fprintf(stderr, "%s\n", l.c_str());
      size_t first = lines.size() > 400 ? lines.size() - 400 : 0;
      for (size_t i = first; i < lines.size(); ++i) fprintf(stderr, "%s\n", lines[i].c_str());
    }
    out.reset();
  }
  static PlayerState& st() { return player_state(); }

  // Several tests may run in one process: start each from a clean record
  // (what an earlier test left is dropped, not released).
  static void forget_previous_player() {
    PlayerState& s = player_state();
    s.pipeline = nullptr;
    s.bus = nullptr;
    s.filesrc = s.input_selector = s.audio_selector = s.glimagesink_element = s.glupload = nullptr;
    s.uri_mode = s.no_sound = s.is_playing = s.position_guard_active = s.quit = s.fatal_error = FALSE;
    s.position_guard_last = 0;
    s.element_counter = 1;
    s.video_switching_in_progress = 0;
    s.preload_filesrc = s.preload_qtdemux = s.preload_queue = s.preload_h264parse = nullptr;
    s.preload_audio_queue = s.preload_decodebin = s.preload_audioconvert = nullptr;
    s.preload_audio_capsfilter = nullptr;
    s.preload_selector_pad = nullptr;
    s.preload_audio_selector_pad = nullptr;
    s.preload_ready = 0;
    s.preload_video_path = nullptr;
    s.preload_video_probe_id = 0;
    s.preload_audio_probe_id = 0;
    s.preload_branch_id = 0;
    s.video_branch_id = 0;
    s.video_branch_demuxer = nullptr;
    s.video_branch_path.clear();
    active_qtdemux = nullptr;
    active_audio_selector_pad_owner = nullptr;
    g_filesrc = g_glimagesink = nullptr;
    switch_in_progress = cleanup_in_progress = suppress_events = ignore_next_switch = 0;
    restart_scheduled = waiting_for_video_end = restart_pending = restart_for_ar_fix = 0;
    active_cleanup_timeout_id = 0;
    current_aspect_ratio = 0.0f;
    iterations_since_last_restart = 0;
  }

  // One iteration's worth of the loop's work, without reading this process's stdin.
  void pump_once() {
    ++main_loop_iterations;
    drain_bus(st());
    g_main_context_iteration(g_main_context_default(), FALSE);
    g_usleep(20000);
  }
  // Pumps until the test holds or the time runs out.
  bool pump_until(const std::function<bool()>& test, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
    while (std::chrono::steady_clock::now() < deadline) {
      if (test()) return true;
      pump_once();
    }
    return test();
  }
  void pump_for(double seconds) {
    pump_until([] { return false; }, seconds);
  }
  bool wait_line(const std::string& line, double seconds) {
    return pump_until([&] { return out->count_line(line) > 0; }, seconds);
  }
  int selector_pads(GstElement* selector) {
    int n = 0;
    g_object_get(selector, "n-pads", &n, nullptr);
    return n;
  }
  // Counts the request pads of a selector that are still alive, released or
  // not: a reference nobody drops keeps a released pad alive for ever.
  struct LivePads {
    std::atomic<int> alive{0};
    void watch(GstElement* selector) {
      g_signal_connect(selector, "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer self) {
                         auto* counter = static_cast<LivePads*>(self);
                         counter->alive++;
                         g_object_weak_ref(G_OBJECT(pad), [](gpointer c, GObject*) { static_cast<LivePads*>(c)->alive--; },
                                           counter);
                       }),
                       this);
    }
  };
  int top_level_elements() { return static_cast<int>(GST_BIN(st().pipeline)->numchildren); }

  std::unique_ptr<StdoutCapture> out;

 private:
  std::string storage_;
};
