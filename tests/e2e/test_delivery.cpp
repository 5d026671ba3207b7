// Acknowledged delivery as the manager sees it.
#include "e2e_helpers.h"

TEST_F(PlayerE2E, UnansweredEventIsRepeatedThreeTimesThenEnds) {
  start({clip("red.mp4")}, /*auto_ack=*/false);
  wait_started();
  player->send(protocol::CMD_PLAY);
  auto status = player->wait_exit(20);
  ASSERT_TRUE(status.has_value()) << dump();
  EXPECT_EQ(*status, 1);
  EXPECT_EQ(player->count_exact(protocol::PLAYING), 3);
  EXPECT_EQ(player->count_substring(protocol::ACK_RETRY + std::string(protocol::ACK_PLAYING) + protocol::ACK_RETRY_END),
            3);
  EXPECT_GE(player->wait_for_line(
                protocol::ACK_GAVE_UP + std::string(protocol::ACK_PLAYING) + "' after 3 retries - TERMINATING!", 1),
            0);
}

TEST_F(PlayerE2E, LateAnswerCompletesOnTheSecondAttempt) {
  start({clip("red.mp4")});
  player->set_ack_delay_ms(1500);
  wait_started();
  player->send(protocol::CMD_PLAY);
  ASSERT_GE(player->wait_for_substring(
                protocol::ACK_TAKEN + std::string(protocol::ACK_PLAYING) + protocol::ACK_TAKEN_END + " in", 10),
            0)
      << dump();
  EXPECT_EQ(player->count_substring(protocol::ACK_RETRY + std::string(protocol::ACK_PLAYING) + protocol::ACK_RETRY_END +
                                    "1/3)"),
            1);
  EXPECT_EQ(player->count_substring("(attempt 2/3)"), 0);
  player->set_ack_delay_ms(0);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(PlayerE2E, PaddedOrWrongAnswersAreIgnored) {
  start({clip("red.mp4")}, /*auto_ack=*/false);
  wait_started();
  player->send(protocol::CMD_PLAY);
  ASSERT_GE(player->wait_for_line(protocol::PLAYING, 10), 0);
  player->send(protocol::ACK_PLAYING + std::string(" "));
  player->send(protocol::ACK_END);
  player->send(protocol::ACK_PLAYING + std::string("\r"));
  ASSERT_GE(player->wait_for_substring("(attempt 1/3)", 5), 0) << dump();
  player->send(protocol::ACK_PLAYING);
  ASSERT_GE(
      player->wait_for_substring(protocol::ACK_TAKEN + std::string(protocol::ACK_PLAYING) + protocol::ACK_TAKEN_END, 5),
      0)
      << dump();
  EXPECT_EQ(player->count_exact(protocol::PLAYING), 2);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
