// Common steps of the end-to-end tests, which act as the manager.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "protocol/protocol.h"
#include "support/test_support.h"

constexpr double STARTUP_TIMEOUT = 30;
constexpr double EVENT_TIMEOUT = 30;

class PlayerE2E : public ::testing::Test {
 protected:
  // Where the player draws and plays: the test's own display, and its sink when set.
  virtual PlayerClient::Options options(std::vector<std::string> args) {
    return sink ? player_options(display, *sink, std::move(args)) : player_options(display, std::move(args));
  }
  // Starts the player and waits for "ready".
  void start(std::vector<std::string> args, bool auto_ack = true) {
    auto opts = options(std::move(args));
    opts.auto_ack = auto_ack;
    player = std::make_unique<PlayerClient>();
    ASSERT_TRUE(player->start(opts));
    ASSERT_GE(player->wait_for_line(protocol::READY, STARTUP_TIMEOUT), 0) << dump();
  }
  // Waits for the heartbeat's thread line, the last line of start-up.
  void wait_started() { ASSERT_GE(player->wait_for_line(protocol::STARTED, STARTUP_TIMEOUT), 0) << dump(); }
  // Starts the player and plays until "playing" is answered.
  void start_playing(std::vector<std::string> args) {
    start(std::move(args));
    wait_started();
    play_and_wait_playing();
  }
  // Preloads a file and waits until "Preload complete" is answered.
  void preload_ready(const std::string& path) {
    size_t from = player->line_count();
    player->send(protocol::CMD_PRELOAD + path);
    ASSERT_GE(player->wait_for_line(protocol::PRELOAD_COMPLETE, EVENT_TIMEOUT, from), 0) << dump();
    wait_acknowledged(protocol::ACK_PRELOAD_COMPLETE, from);
  }
  // Switches and waits until the colour of the new file is on screen.
  void switch_to(const Rgb& colour) {
    size_t from = player->line_count();
    player->send(protocol::CMD_SWITCH);
    ASSERT_GE(player->wait_for_line(protocol::SWITCH_DONE, EVENT_TIMEOUT, from), 0) << dump();
    EXPECT_TRUE(display.wait_for_colour(colour, 10)) << dump();
  }
  void play_and_wait_playing() {
    size_t from = player->line_count();
    player->send(protocol::CMD_PLAY);
    ASSERT_GE(player->wait_for_line(protocol::PLAYING, EVENT_TIMEOUT, from), 0) << dump();
    wait_acknowledged(protocol::ACK_PLAYING, from);
  }
  // Waits until the player has taken in the acknowledgement of an event.
  void wait_acknowledged(const std::string& ack, size_t from = 0) {
    ASSERT_GE(player->wait_for_substring(protocol::ACK_TAKEN + ack + protocol::ACK_TAKEN_END, EVENT_TIMEOUT, from), 0)
        << dump();
  }
  int exit_and_wait() {
    // An event still waiting for its answer would turn "exit" into status 1.
    auto all = player->lines();
    for (size_t i = all.size(); i-- > 0;) {
      if (ack_for_event(all[i])) {
        player->wait_for_substring(protocol::ACK_TAKEN, 10, i + 1);
        break;
      }
    }
    auto status = player->stop(20);
    return status ? *status : -1;
  }
  // The player's lines from the first that reports trouble (where the cause
  // is), then its last lines.
  std::string dump() const {
    if (!player) return "";
    auto all = player->lines();
    size_t last = all.size() > 80 ? all.size() - 80 : 0;
    size_t first_trouble = last;
    for (size_t i = 0; i < last; ++i) {
      const std::string& l = all[i];
      if (l.find("Erro") != std::string::npos || l.find("LOOP STALLED") != std::string::npos ||
          l.find("FATAL") != std::string::npos || l.find("REJECTED") != std::string::npos) {
        first_trouble = i;
        break;
      }
    }
    // Position questions that a test asks all along say nothing here.
    auto noise = [](const std::string& l) {
      return l.find(protocol::CMD_TEMPO) != std::string::npos || l.rfind("Tempo", 0) == 0 ||
             l.rfind(protocol::INPUT_POLL, 0) == 0;
    };
    std::string out;
    if (first_trouble < last) {
      size_t end = std::min(last, first_trouble + 200);
      out += "--- player output from its first trouble ---\n";
      for (size_t i = first_trouble; i < end; ++i)
        if (!noise(all[i])) out += all[i] + "\n";
    }
    out += "--- player output (last 80 lines) ---\n";
    for (size_t i = last; i < all.size(); ++i)
      if (!noise(all[i])) out += all[i] + "\n";
    out += "--- stderr ---\n" + player->stderr_text();
    return out;
  }
  void TearDown() override {
    if (player && player->running()) player->kill_now(9);
  }

  VirtualDisplay display;
  std::unique_ptr<SoundSink> sink;  // set before start() to hear the player alone
  std::unique_ptr<PlayerClient> player;
};
