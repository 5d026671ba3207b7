// Start-up, pipeline choice by source kind, errors and shutdown, with the real binary.
#include <unistd.h>

#include "e2e_helpers.h"

namespace {

// Starts, plays until "playing", then exits cleanly.
class SourceKinds : public PlayerE2E {
 protected:
  void plays_and_exits(std::vector<std::string> args, const Rgb* colour = nullptr) {
    start(std::move(args));
    wait_started();
    play_and_wait_playing();
    if (colour) EXPECT_TRUE(display.wait_for_colour(*colour, 10)) << dump();
    EXPECT_EQ(exit_and_wait(), 0) << dump();
    EXPECT_EQ(player->stderr_text(), "");
  }
};

}  // namespace

TEST_F(SourceKinds, Mp4WithSoundFindsBothSelectors) {
  start({clip("red.mp4")});
  EXPECT_GE(player->wait_for_substring("DEBUG: audio_selector found:", 5), 0);
  EXPECT_GE(player->wait_for_substring("DEBUG: input_selector found:", 5), 0);
  wait_started();
  play_and_wait_playing();
  EXPECT_TRUE(display.wait_for_colour(RED, 10)) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(SourceKinds, Mp4WithoutSoundHasNoAudioSelector) {
  start({clip("red.mp4"), "--no_sound"});
  wait_started();
  EXPECT_EQ(player->count_substring("DEBUG: audio_selector found:"), 0);
  EXPECT_EQ(player->count_substring("DEBUG: input_selector found:"), 1);
  play_and_wait_playing();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(SourceKinds, MatroskaWithAndWithoutSound) {
  plays_and_exits({clip("clip.mkv")});
  EXPECT_EQ(player->count_substring("input_selector found"), 0);
  plays_and_exits({clip("clip.mkv"), "--no_sound"});
}

TEST_F(SourceKinds, WebMAndPlaybinFallback) {
  plays_and_exits({clip("clip.webm")});
  // Upper-case extension: playbin.
  std::string upper = clip("red.MP4");
  if (access(upper.c_str(), F_OK) != 0) ASSERT_EQ(link(clip("red.mp4").c_str(), upper.c_str()), 0);
  plays_and_exits({upper});
  plays_and_exits({upper, "--no_sound"});
}

TEST_F(SourceKinds, HttpLiveStreamFromLocalServer) {
  HttpServer server(clip("hls"));
  ASSERT_GT(server.port(), 0);
  plays_and_exits({server.url("playlist.m3u8")});
}

TEST_F(SourceKinds, IdlePictureWithoutLocationStaysUp) {
  start({});
  wait_started();
  EXPECT_EQ(player->count_substring("DEBUG: input_selector found:"), 1);
  play_and_wait_playing();
  EXPECT_TRUE(display.wait_for_colour(BLACK, 10));
  // Still alive after a heartbeat period.
  EXPECT_GE(player->wait_for_substring(protocol::LOOP_ALIVE, 15, player->line_count()), 0) << dump();
  EXPECT_TRUE(player->running());
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(SourceKinds, SilentMp4UnderSoundDescriptionPlaysAndEnds) {
  start_playing({clip("silent.mp4")});
  EXPECT_TRUE(display.wait_for_colour(CYAN, 10)) << dump();
  // Its end reaches the bus (start-up files are never reported to the manager).
  EXPECT_GE(player->wait_for_line(protocol::EOS_NO_SOURCE, 20), 0) << dump();
  player->send(protocol::CMD_STATUS);
  EXPECT_GE(player->wait_for_substring(protocol::STATUS, 5), 0);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(SourceKinds, LocationWithQuotesNamesExactlyOneFile) {
  // Each file shows a colour of its own. Were their quotes and backslashes
  // read as the description's own, the fourth location would be red.mp4
  // followed by a second element name, and the last would lose its backslash.
  const struct {
    const char* file;
    Rgb colour;
  } files[] = {{"quote\".mp4", BLUE},
               {"it's.mp4", GREEN},
               {"with space.mp4", RED},
               {"red.mp4\" name=\"x.mp4", YELLOW},
               {"back\\slash.mp4", WHITE}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.file);
    plays_and_exits({clip(f.file)}, &f.colour);
  }
}

TEST_F(PlayerE2E, ReadyIsTheFirstEventWrittenOnceBeforeDelivery) {
  start({clip("red.mp4")}, /*auto_ack=*/false);
  wait_started();
  int ready = player->wait_for_line(protocol::READY, 1);
  int ack_system = player->wait_for_substring("[ACK SYSTEM]", 1);
  ASSERT_GE(ready, 0);
  ASSERT_GT(ack_system, ready);
  usleep(3500000);  // longer than three delivery attempts
  EXPECT_EQ(player->count_exact(protocol::READY), 1);
  EXPECT_TRUE(player->running());
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

namespace {

class PipelineErrors : public PlayerE2E {
 protected:
  void fails_with_status_1(std::vector<std::string> args) {
    start(std::move(args));
    auto status = player->wait_exit(30);
    ASSERT_TRUE(status.has_value()) << dump();
    EXPECT_EQ(*status, 1) << dump();
    EXPECT_GE(player->wait_for_substring(protocol::BUS_ERROR, 1), 0) << dump();
    EXPECT_GE(player->wait_for_line("[EXIT] Exiting with code 1 (fatal error occurred)", 1), 0) << dump();
    EXPECT_EQ(player->stderr_text(), "");
  }
};

}  // namespace

TEST_F(PipelineErrors, MissingTruncatedAndFakeFilesEndWithStatus1) {
  fails_with_status_1({clip("does-not-exist.mp4")});
  fails_with_status_1({clip("truncated.mp4")});
  fails_with_status_1({clip("text.mp4")});
}

TEST_F(PipelineErrors, InjectedDescriptionIsJustAMissingFile) {
  fails_with_status_1({clip("red.mp4") + "\" ! fakesink name=\"x.mp4"});
}

TEST_F(PipelineErrors, CameraWithoutDeviceEndsWithStatus1) { fails_with_status_1({"/dev/video99"}); }
