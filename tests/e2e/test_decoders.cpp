// The H.264 decoder chosen by what is registered. The boards' V4L2 decoders
// are stood in for by plug-ins of the tests' own (elements under their names,
// ranks, classes and sink caps, decoding in software inside), put in the
// player's plug-in path; with neither, the software decoder. Through each:
// the choice said, files beyond the decoder's caps refused at preload, a
// prompt switch, the hand-over at a file's end, the rebuild for another
// picture shape made ready behind the file on screen, and a file's end.
#include <fstream>
#include <iterator>

#include "e2e_helpers.h"

namespace {

struct DecoderCase {
  const char* label;
  const char* plugin_dirs;  // under STANDIN_DECODERS_DIR, ':'-separated; empty: none
  const char* chosen;       // the start of the player's line
  const char* plugin_file;  // the stand-in loaded once a pipeline is built; empty: none
  bool refuses;             // its caps refuse the picture size and profile of two clips
};

const DecoderCase CASES[] = {
    {"Stateless", "stateless:stateful", "[DECODER] H.264 decoder: v4l2slh264dec (hardware, stateless)",
     "libstandin_stateless.so", false},
    {"Stateful", "stateful", "[DECODER] H.264 decoder: v4l2h264dec (hardware, stateful)", "libstandin_stateful.so",
     true},
    {"Software", "", "[DECODER] H.264 decoder: avdec_h264 (software, ", "", false},
};

void PrintTo(const DecoderCase& c, std::ostream* os) { *os << c.label; }

class BoardDecoders : public PlayerE2E, public ::testing::WithParamInterface<DecoderCase> {
 protected:
  PlayerClient::Options options(std::vector<std::string> args) override {
    auto opts = PlayerE2E::options(std::move(args));
    std::string dirs = GetParam().plugin_dirs;
    if (dirs.empty()) return opts;
    std::string path;
    for (size_t start = 0; start <= dirs.size();) {
      size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      path += (path.empty() ? "" : ":") + std::string(STANDIN_DECODERS_DIR) + "/" + dirs.substr(start, end - start);
      start = end + 1;
    }
    opts.env.push_back({"GST_PLUGIN_PATH", path});
    // A registry of their own, so that the other tests' players never rescan.
    opts.env.push_back({"GST_REGISTRY", std::string(STANDIN_DECODERS_DIR) + "/registry-" + GetParam().label + ".bin"});
    return opts;
  }
  bool maps(const std::string& library) {
    std::ifstream in("/proc/" + std::to_string(player->pid()) + "/maps");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.find(library) != std::string::npos;
  }
  int expect_line(const std::string& line, size_t from, double timeout = EVENT_TIMEOUT) {
    int at = player->wait_for_line(line, timeout, from);
    EXPECT_GE(at, 0) << line << dump();
    return at;
  }
  // A file the decoder is asked to take: refused with the reason, or
  // preloaded and dropped again.
  void offer(const std::string& file, const std::string& reason) {
    SCOPED_TRACE(file);
    size_t from = player->line_count();
    player->send(protocol::CMD_PRELOAD + clip(file));
    if (GetParam().refuses) {
      EXPECT_GE(player->wait_for_substring(protocol::PRELOAD_FAILED + clip(file) + ": " + reason, EVENT_TIMEOUT, from),
                0)
          << dump();
      expect_line(protocol::PRELOAD_ERROR, from);
      return;
    }
    expect_line(protocol::PRELOAD_COMPLETE, from);
    from = player->line_count();
    player->send(protocol::CMD_DROP_PRELOAD);
    EXPECT_GE(player->wait_for_substring(protocol::PRELOAD_DROPPED, EVENT_TIMEOUT, from), 0) << dump();
  }
};

}  // namespace

TEST_P(BoardDecoders, ChosenAndEveryChangeOfFileHoldsThroughIt) {
  const DecoderCase& c = GetParam();
  sink = std::make_unique<SoundSink>();
  ASSERT_TRUE(sink->ok()) << "no sound server to listen to";
  start_playing({clip("red.mp4")});
  EXPECT_EQ(player->count_substring(protocol::DECODER_CHOSEN), 1) << dump();
  EXPECT_GE(player->wait_for_substring(c.chosen, 1), 0) << dump();
  EXPECT_TRUE(display.wait_for_colour(RED, 10)) << dump();
  if (*c.plugin_file) EXPECT_TRUE(maps(c.plugin_file)) << c.plugin_file << " is not in the player";
  EXPECT_FALSE(maps(c.label == std::string("Stateless") ? "libstandin_stateful.so" : "libstandin_stateless.so"));

  offer("big_picture.mp4", "picture size 2560x1440 is beyond what v4l2h264dec decodes (width [ 32, 1920 ]");
  offer("high444.mp4", "profile high-4:4:4 is beyond what v4l2h264dec decodes");

  // A prompt switch.
  size_t from = player->line_count();
  player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH);
  player->send(protocol::CMD_PRELOAD + clip("green.mp4"));
  expect_line(protocol::SWITCH_DONE, from);
  EXPECT_TRUE(display.wait_for_colour(GREEN, 10)) << dump();
  SoundSink::Heard h = listen_for(*sink, TONE_STEREO, 3);
  EXPECT_TRUE(heard_tone(h, TONE_STEREO)) << "rms " << h.rms << ", " << h.frequency << " Hz";

  // The hand-over where green ends.
  size_t switched = player->line_count();
  player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH_AT_END);
  player->send(protocol::CMD_PRELOAD + clip("mono.mp4"));
  expect_line(protocol::ARMED, switched);
  expect_line(protocol::ARMED_SWITCH_TAKEN, switched, 15);
  EXPECT_TRUE(display.wait_for_colour(MAGENTA, 10)) << dump();
  h = listen_for(*sink, TONE_MONO, 3);
  EXPECT_TRUE(heard_tone(h, TONE_MONO)) << "rms " << h.rms << ", " << h.frequency << " Hz";

  // Another picture shape where mono ends: the rebuild, made ready behind it.
  from = player->line_count();
  player->answer_then(protocol::PRELOAD_COMPLETE, protocol::CMD_SWITCH_AT_END);
  player->send(protocol::CMD_PRELOAD + clip("square.mp4"));
  int reset = expect_line(protocol::RESET, from, 15);
  if (reset >= 0) expect_line(protocol::PLAYING, reset);
  EXPECT_TRUE(display.wait_for_colour(PURPLE, 10)) << dump();

  // Square plays to its end: green's, mono's and its own end, each said once.
  from = player->line_count();
  expect_line(protocol::END_OF_VIDEO, from, 15);
  EXPECT_EQ(player->count_exact(protocol::END_OF_VIDEO, switched), 3) << dump();
  EXPECT_EQ(player->count_exact(protocol::PRELOAD_ERROR, switched), 0) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

INSTANTIATE_TEST_SUITE_P(Each, BoardDecoders, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<DecoderCase>& info) { return info.param.label; });
