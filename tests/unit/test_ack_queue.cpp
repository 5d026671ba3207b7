// The outbound event ring and acknowledgement matching.
#include <gtest/gtest.h>

#include <string>

#include "core/player_state.h"
#include "messaging/ack_delivery.h"
#include "protocol/protocol.h"
#include "support/test_support.h"

namespace {

class AckQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    message_queue_init(&queue_);
    ack_system_running = 1;
  }
  void TearDown() override { ack_system_running = 0; }
  MessageQueue queue_{};
};

}  // namespace

TEST_F(AckQueueTest, DeliversInOrderAndCutsLongTexts) {
  std::string long_event(300, 'e');
  std::string long_ack = protocol::ACK_PREFIX + std::string(100, 'a');
  ASSERT_EQ(message_queue_push(&queue_, "first", "ack_first"), 1);
  ASSERT_EQ(message_queue_push(&queue_, long_event.c_str(), long_ack.c_str()), 1);

  QueuedMessage m{};
  ASSERT_EQ(message_queue_pop(&queue_, &m), 1);
  EXPECT_STREQ(m.message, "first");
  EXPECT_STREQ(m.ack_name, "ack_first");
  ASSERT_EQ(message_queue_pop(&queue_, &m), 1);
  EXPECT_EQ(std::string(m.message), long_event.substr(0, 255));
  EXPECT_EQ(std::string(m.ack_name), long_ack.substr(0, 63));
}

TEST_F(AckQueueTest, RefusesTheHundredAndFirstEventThenAcceptsAfterADelivery) {
  for (int i = 0; i < MESSAGE_QUEUE_CAPACITY; ++i) ASSERT_EQ(message_queue_push(&queue_, "e", "ack_e"), 1);
  {
    StdoutCapture out;
    EXPECT_EQ(message_queue_push(&queue_, "overflow", "ack_o"), 0);
    EXPECT_EQ(out.count_line("[ACK QUEUE] ERROR: Queue full (100 messages)!"), 1);
  }
  QueuedMessage m{};
  ASSERT_EQ(message_queue_pop(&queue_, &m), 1);
  EXPECT_EQ(message_queue_push(&queue_, "again", "ack_again"), 1);
  EXPECT_EQ(queue_.count, MESSAGE_QUEUE_CAPACITY);
}

TEST_F(AckQueueTest, PopReturnsNothingOnceDeliveryStopped) {
  ASSERT_EQ(message_queue_push(&queue_, "left behind", "ack_x"), 1);
  ack_system_running = 0;
  QueuedMessage m{};
  EXPECT_EQ(message_queue_pop(&queue_, &m), 0);
}

TEST(AckDelivery, EventsBeforeDeliveryStartsAreWrittenOncePlain) {
  ack_system_running = 0;
  StdoutCapture out;
  send_with_ack(protocol::READY, protocol::ACK_READY);
  EXPECT_EQ(out.lines(), std::vector<std::string>{protocol::READY});
}

TEST(AckDelivery, OnlyTheExactAwaitedNameCounts) {
  start_ack_system();
  {
    StdoutCapture out;
    send_with_ack(protocol::PLAYING, protocol::ACK_PLAYING);
    // Let the delivery thread write the line and start waiting.
    for (int i = 0; i < 100 && out.count_line(protocol::PLAYING) == 0; ++i) g_usleep(10000);
    signal_ack_received("ack_playing ");
    signal_ack_received(protocol::ACK_END);
    g_usleep(50000);
    ack_state.mutex.lock();
    EXPECT_EQ(ack_state.received, 0);
    ack_state.mutex.unlock();
    signal_ack_received(protocol::ACK_PLAYING);
    for (int i = 0; i < 100 && !out.has_substring("[ACK TIMING]"); ++i) g_usleep(10000);
    EXPECT_TRUE(out.has_substring("[ACK TIMING] ✅ ACK 'ack_playing' received in "));
    EXPECT_EQ(out.count_line(protocol::PLAYING), 1);
  }
  stop_ack_system();
}
