// Acknowledged delivery as the manager sees it.
#include "e2e_helpers.h"

TEST_F(PlayerE2E, UnansweredEventIsRepeatedThreeTimesThenEnds) {
  start({clip("red.mp4")}, /*auto_ack=*/false);
  wait_started();
  player->send("play");
  auto status = player->wait_exit(20);
  ASSERT_TRUE(status.has_value()) << dump();
  EXPECT_EQ(*status, 1);
  EXPECT_EQ(player->count_exact("playing"), 3);
  EXPECT_EQ(player->count_substring("[ACK RETRY] No ACK for 'ack_playing' (attempt "), 3);
  EXPECT_GE(player->wait_for_line("[ACK ERROR] ❌ Failed to receive ACK 'ack_playing' after 3 retries - TERMINATING!", 1),
            0);
}

TEST_F(PlayerE2E, LateAnswerCompletesOnTheSecondAttempt) {
  start({clip("red.mp4")});
  player->set_ack_delay_ms(1500);
  wait_started();
  player->send("play");
  ASSERT_GE(player->wait_for_substring("[ACK TIMING] ✅ ACK 'ack_playing' received in", 10), 0) << dump();
  EXPECT_EQ(player->count_substring("[ACK RETRY] No ACK for 'ack_playing' (attempt 1/3)"), 1);
  EXPECT_EQ(player->count_substring("(attempt 2/3)"), 0);
  player->set_ack_delay_ms(0);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}

TEST_F(PlayerE2E, PaddedOrWrongAnswersAreIgnored) {
  start({clip("red.mp4")}, /*auto_ack=*/false);
  wait_started();
  player->send("play");
  ASSERT_GE(player->wait_for_line("playing", 10), 0);
  player->send("ack_playing ");
  player->send("ack_end");
  player->send("ack_playing\r");
  ASSERT_GE(player->wait_for_substring("(attempt 1/3)", 5), 0) << dump();
  player->send("ack_playing");
  ASSERT_GE(player->wait_for_substring("[ACK TIMING] ✅ ACK 'ack_playing'", 5), 0) << dump();
  EXPECT_EQ(player->count_exact("playing"), 2);
  EXPECT_EQ(exit_and_wait(), 0) << dump();
}
