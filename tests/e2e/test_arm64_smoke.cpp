// The arm64 player under user-mode emulation, driven from this (host) test as
// the manager drives it: start-up with a clip, play, preload, switch, the
// switched-to file's end and a clean exit. scripts/test-arm64.sh runs it with
// ARM64_PLAYER set to the cross-built binary; without it the test is skipped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "protocol/protocol.h"
#include "support/test_support.h"

namespace {

// Everything is many times slower under emulation (GL runs on Mesa's
// software renderer, itself emulated): wait long, fail only on a real hang.
constexpr double STARTUP_TIMEOUT = 300;
constexpr double EVENT_TIMEOUT = 180;
constexpr double COLOUR_TIMEOUT = 120;

std::vector<std::string> emulator_command() {
  const char* set = getenv("ARM64_EMULATOR");
  std::istringstream words(set ? set : "qemu-aarch64-static -L /");
  std::vector<std::string> out;
  for (std::string w; words >> w;) out.push_back(w);
  return out;
}

class Arm64Smoke : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* binary = getenv("ARM64_PLAYER");
    if (!binary || !*binary) GTEST_SKIP() << "ARM64_PLAYER is not set (scripts/test-arm64.sh sets it)";
    opts = player_options(display, {});
    opts.binary = binary;
    opts.command_prefix = emulator_command();
    // The arm64 plug-in scanner cannot be started from the emulated process.
    opts.env.push_back({"GST_REGISTRY_FORK", "no"});
    started = std::chrono::steady_clock::now();
  }
  void TearDown() override {
    if (player && player->running()) player->kill_now(9);
  }
  // Seconds since the test started, for the step lines.
  double elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }
  void step(const char* what) {
    printf("[arm64 smoke] %6.1f s  %s\n", elapsed(), what);
    fflush(stdout);
  }
  // Waits until the player has taken in the acknowledgement of an event.
  void wait_acknowledged(const std::string& ack, size_t from) {
    ASSERT_GE(player->wait_for_substring(protocol::ACK_TAKEN + ack + protocol::ACK_TAKEN_END, EVENT_TIMEOUT, from), 0)
        << dump();
  }
  std::string dump() const {
    if (!player) return "";
    std::string out = "--- player output (last 80 lines) ---\n";
    auto all = player->lines();
    for (size_t i = all.size() > 80 ? all.size() - 80 : 0; i < all.size(); ++i) out += all[i] + "\n";
    return out + "--- stderr ---\n" + player->stderr_text();
  }

  VirtualDisplay display;
  PlayerClient::Options opts;
  std::unique_ptr<PlayerClient> player;
  std::chrono::steady_clock::time_point started;
};

}  // namespace

TEST_F(Arm64Smoke, StartPlayPreloadSwitchEndExit) {
  // A long start-up file, so that the switch comes while it still plays, as
  // in the manager's cycle: its end in the middle of a switch is a race of
  // its own (seen here when a slow start-up put the switch at its fourth
  // second: the audio selector's output already at its end refuses the new
  // file's caps, "not-negotiated", and the player ends with status 1).
  opts.args = {clip("long.mp4")};
  player = std::make_unique<PlayerClient>();
  ASSERT_TRUE(player->start(opts));
  ASSERT_GE(player->wait_for_line(protocol::READY, STARTUP_TIMEOUT), 0) << dump();
  step(protocol::READY);
  ASSERT_GE(player->wait_for_line(protocol::STARTED, STARTUP_TIMEOUT), 0) << dump();
  // No board decoder under emulation: the software one, on every core.
  EXPECT_EQ(player->count_substring(std::string(protocol::DECODER_CHOSEN) + "avdec_h264 (software, "), 1) << dump();

  size_t from = player->line_count();
  player->send(protocol::CMD_PLAY);
  ASSERT_GE(player->wait_for_line(protocol::PLAYING, EVENT_TIMEOUT, from), 0) << dump();
  wait_acknowledged(protocol::ACK_PLAYING, from);
  step(protocol::PLAYING);
  EXPECT_TRUE(display.wait_for_colour(GRAY, COLOUR_TIMEOUT)) << "gray not on screen\n" << dump();
  step("gray on screen");

  from = player->line_count();
  player->send(protocol::CMD_PRELOAD + clip("blue.mp4"));
  ASSERT_GE(player->wait_for_line(protocol::PRELOAD_COMPLETE, EVENT_TIMEOUT, from), 0) << dump();
  wait_acknowledged(protocol::ACK_PRELOAD_COMPLETE, from);
  step(protocol::PRELOAD_COMPLETE);
  // "Preload complete" comes as soon as the preload's video is linked, while
  // its decodebin may still be linking the audio. A switch in that window
  // leaves the audio branch unlinked and the player ends with status 1
  // ("not-linked"): a race of the player that emulation's slowness opens
  // wide (2 runs in 28 here, none in 30 natively). Waiting for the audio link
  // keeps this test about the arm64 build.
  if (player->count_substring("DEBUG: Preload audio pad saved:", from) == 0) {
    ASSERT_GE(player->wait_for_substring("DEBUG: Preload audio pad saved:", EVENT_TIMEOUT, from), 0) << dump();
    step("preload's audio linked (after Preload complete)");
  }

  from = player->line_count();
  player->send(protocol::CMD_SWITCH);
  ASSERT_GE(player->wait_for_line(protocol::SWITCH_DONE, EVENT_TIMEOUT, from), 0) << dump();
  step("switched");
  EXPECT_TRUE(display.wait_for_colour(BLUE, COLOUR_TIMEOUT)) << "blue not on screen\n" << dump();
  step("blue on screen");

  // A switched-to file reports its end.
  ASSERT_GE(player->wait_for_line(protocol::END_OF_VIDEO, EVENT_TIMEOUT, from), 0) << dump();
  wait_acknowledged(protocol::ACK_END, from);
  step(protocol::END_OF_VIDEO);

  EXPECT_TRUE(player->running()) << dump();
  auto status = player->stop(EVENT_TIMEOUT);
  step("exited");
  ASSERT_TRUE(status.has_value()) << "no exit after \"exit\"\n" << dump();
  EXPECT_EQ(*status, 0) << dump();
}
