// The command channel and the transport commands, driven as the manager drives them.
#include <unistd.h>

#include <cstring>

#include "e2e_helpers.h"

namespace {

// The longest line the README promises to handle.
constexpr size_t COMMAND_LINE_LIMIT = 4112;

// Index of the "[STDIN] Processing command" line for a command, from `from` on.
int processed_at(PlayerClient& p, const std::string& command, size_t from = 0) {
  return p.wait_for_line(protocol::COMMAND_TAKEN + command, 10, from);
}

// Iteration number printed in the "Command processed" line of a command.
long iteration_of(PlayerClient& p, const std::string& command, size_t from = 0) {
  int i = p.wait_for_substring(protocol::COMMAND_DONE + command + protocol::COMMAND_DONE_ITERATION, 10, from);
  if (i < 0) return -1;
  std::string l = p.line(i);
  return std::atol(l.c_str() + l.rfind(' ') + 1);
}

}  // namespace

TEST_F(PlayerE2E, PlayPauseAndPlayAgainEachSendPlaying) {
  start_playing({clip("long.mp4")});
  EXPECT_EQ(player->count_exact(protocol::PLAYING), 1);
  size_t from = player->line_count();
  player->send(protocol::CMD_PAUSE);
  ASSERT_GE(player->wait_for_line("[STATE] Pipeline: PLAYING -> PAUSED (pending: VOID_PENDING)", 10, from), 0)
      << dump();
  play_and_wait_playing();
  EXPECT_EQ(player->count_exact(protocol::PLAYING), 2);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(PlayerE2E, StopThenStatusAndTempo) {
  start_playing({clip("long.mp4")});
  size_t from = player->line_count();
  player->send(protocol::CMD_TEMPO);
  ASSERT_GE(player->wait_for(
                [](const std::string& l) { return l.rfind("Tempo: 00:0", 0) == 0 && l.find(" / 00:20") != std::string::npos; },
                10, from),
            0)
      << dump();

  from = player->line_count();
  player->send(protocol::CMD_STOP);
  ASSERT_GE(player->wait_for_line(protocol::STOPPED, EVENT_TIMEOUT, from), 0) << dump();
  wait_acknowledged(protocol::ACK_STOPPED, from);
  // The seek completes asynchronously; status reports "stopped" once it has.
  std::string expected = protocol::STATUS + std::string("stopped") + protocol::STATUS_PLAYING + clip("long.mp4") +
                         protocol::STATUS_PRELOAD + "none | Time: 0";
  bool seen = false;
  for (int i = 0; i < 20 && !seen; ++i) {
    from = player->line_count();
    player->send(protocol::CMD_STATUS);
    int at = player->wait_for_substring(protocol::STATUS, 5, from);
    seen = at >= 0 && player->line(at) == expected;
    if (!seen) usleep(200000);
  }
  EXPECT_TRUE(seen) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(PlayerE2E, TempoWithoutDurationIsUnavailable) {
  start({});  // the idle picture has no duration
  wait_started();
  player->send(protocol::CMD_TEMPO);
  EXPECT_GE(player->wait_for_line("Tempo indisponível", 10), 0) << dump();
  player->send(protocol::CMD_STATUS);
  EXPECT_GE(player->wait_for_substring(protocol::STATUS, 10), 0) << dump();
  EXPECT_GE(player->wait_for_substring(
                protocol::STATUS_PLAYING + std::string("none") + protocol::STATUS_PRELOAD + "none |", 1),
            0)
      << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(PlayerE2E, UnrecognisedLinesOnlyLogTwoLines) {
  start({clip("red.mp4")});
  wait_started();
  for (std::string bad : {"PLAY", "play\r", "preload", "video", "pla"}) {
    size_t from = player->line_count();
    player->send(bad);
    int at = processed_at(*player, bad, from);
    ASSERT_GE(at, 0) << bad << dump();
    ASSERT_GE(iteration_of(*player, bad, at), 0) << dump();
    EXPECT_EQ(player->line(at + 1).rfind(protocol::COMMAND_DONE + bad + protocol::COMMAND_DONE_ITERATION, 0), 0u)
        << bad << dump();
  }
  usleep(300000);
  EXPECT_EQ(player->count_exact(protocol::PLAYING), 0);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(PlayerE2E, AcknowledgementAndCommandTogetherShareAnIteration) {
  start({clip("red.mp4")});
  wait_started();
  size_t from = player->line_count();
  player->send_raw(protocol::ACK_READY + std::string("\n") + protocol::CMD_STATUS + "\n");
  long it = iteration_of(*player, protocol::CMD_STATUS, from);
  ASSERT_GT(it, 0) << dump();
  EXPECT_GE(player->wait_for_line(protocol::INPUT_POLL + std::to_string(it) + ")", 1, from), 0);

  from = player->line_count();
  player->send_raw(protocol::CMD_STATUS + std::string("\n") + protocol::CMD_TEMPO + "\n");
  long first = iteration_of(*player, protocol::CMD_STATUS, from);
  long second = iteration_of(*player, protocol::CMD_TEMPO, from);
  ASSERT_GT(first, 0);
  EXPECT_EQ(second, first + 1) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

// A line is run whole or not at all: no tail of a long line, and nothing
// after a NUL byte, ever runs as a command of its own.
TEST_F(PlayerE2E, LinesAreHandledWholeOrDroppedWithALine) {
  start({clip("red.mp4")});
  wait_started();
  // Longer than a short buffer, shorter than a path may be: handled whole.
  size_t from = player->line_count();
  std::string path = "/" + std::string(600, 'a') + protocol::CMD_EXIT;
  player->send(protocol::CMD_PRELOAD + path);
  EXPECT_GE(player->wait_for_line(protocol::PRELOAD_MISSING + path, 10, from), 0) << dump();
  EXPECT_GE(player->wait_for_line(protocol::PRELOAD_ERROR, 10, from), 0) << dump();

  // The limit itself: a line of 4112 characters is a command, one of 4113 is not.
  for (size_t length : {COMMAND_LINE_LIMIT, COMMAND_LINE_LIMIT + 1}) {
    from = player->line_count();
    std::string at_limit = protocol::CMD_PRELOAD + ("/" + std::string(length - strlen(protocol::CMD_PRELOAD) - 1, 'b'));
    player->send(at_limit);
    ASSERT_GE(player->wait_for_line(protocol::PRELOAD_ERROR, 10, from), 0) << length << dump();
    int dropped = player->wait_for_substring("ERROR: Command line too long (" + std::to_string(length) +
                                                 " characters, at most " + std::to_string(COMMAND_LINE_LIMIT) + ")",
                                             0, from);
    EXPECT_EQ(dropped >= 0, length > COMMAND_LINE_LIMIT) << length << dump();
    EXPECT_EQ(player->wait_for_substring(protocol::COMMAND_TAKEN + at_limit, 0, from) >= 0,
              length == COMMAND_LINE_LIMIT)
        << length << dump();
  }

  // Longer than any path: dropped up to its line feed, the preload failed.
  from = player->line_count();
  player->send_raw(protocol::CMD_PRELOAD + ("/" + std::string(9000, 'a')) + protocol::CMD_EXIT + "\n" +
                   protocol::CMD_STATUS + "\n");
  EXPECT_GE(player->wait_for_substring("ERROR: Command line too long (9013 characters, at most ", 10, from), 0)
      << dump();
  EXPECT_GE(player->wait_for_line(protocol::PRELOAD_ERROR, 10, from), 0) << dump();
  EXPECT_GE(player->wait_for_substring(protocol::STATUS, 10, from), 0) << dump();

  // A NUL byte: the line is dropped, neither its head nor its tail runs.
  from = player->line_count();
  player->send_raw(std::string("exit\0junk\nstatus\n", 17));
  EXPECT_GE(player->wait_for_line("ERROR: Command line holds a NUL byte - dropped", 10, from), 0) << dump();
  EXPECT_GE(player->wait_for_substring(protocol::STATUS, 10, from), 0) << dump();
  EXPECT_TRUE(player->running());
  for (const auto& line : player->lines())
    EXPECT_EQ(line.find(protocol::COMMAND_TAKEN + std::string(protocol::CMD_EXIT)), std::string::npos) << line;
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(PlayerE2E, SwitchPrefixIsASwitch) {
  start({clip("red.mp4")});
  wait_started();
  player->send("switchover");
  EXPECT_GE(processed_at(*player, "switchover"), 0);
  EXPECT_GE(player->wait_for_line(protocol::SWITCH_RECEIVED, 10), 0) << dump();
  EXPECT_GE(player->wait_for_line(protocol::SWITCH_ERROR_NO_PAD, 10), 0) << dump();
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(PlayerE2E, ExitWhileAnEventAwaitsItsAnswerEndsWithStatus1) {
  start({clip("red.mp4")}, /*auto_ack=*/false);
  wait_started();
  player->send_raw(protocol::CMD_STOP + std::string("\n") + protocol::CMD_EXIT + "\n");
  auto status = player->wait_exit(20);
  ASSERT_TRUE(status.has_value()) << dump();
  EXPECT_EQ(*status, 1) << dump();
  EXPECT_GE(player->wait_for_line(
                protocol::ACK_GAVE_UP + std::string(protocol::ACK_STOPPED) + "' after 3 retries - TERMINATING!", 1),
            0)
      << dump();
}

TEST_F(PlayerE2E, ClosedInputKeepsThePlayerRunning) {
  start_playing({clip("long.mp4")});
  player->close_stdin();
  size_t from = player->line_count();
  ASSERT_TRUE(player->wait_for_count(protocol::LOOP_ALIVE, 0, 0));
  int alive = 0;
  for (int i = 0; i < 2; ++i) {
    int at = player->wait_for_substring(protocol::LOOP_ALIVE, 12, from);
    ASSERT_GE(at, 0) << dump();
    from = at + 1;
    ++alive;
  }
  EXPECT_EQ(alive, 2);
  EXPECT_TRUE(player->running());
  EXPECT_GT(player->count_substring(protocol::INPUT_POLL), 20);
}
