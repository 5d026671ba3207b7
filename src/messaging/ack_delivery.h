// Ordered, acknowledged delivery of events to the manager: a fixed ring of
// outbound lines and one thread that writes each line and waits for its
// "ack_..." answer before taking the next.
#pragma once
#include <condition_variable>
#include <mutex>

constexpr int MESSAGE_QUEUE_CAPACITY = 100;
constexpr int ACK_MAX_ATTEMPTS = 3;

struct QueuedMessage {
  char message[256];
  char ack_name[64];
};

struct MessageQueue {
  QueuedMessage messages[MESSAGE_QUEUE_CAPACITY];
  int head;
  int tail;
  int count;
  std::mutex mutex;
  std::condition_variable cond;
};

// The answer the delivery thread waits for. Its waits run on steady_clock,
// so a clock step never shortens or stretches them.
struct AckState {
  char awaited_ack[64];
  int received;
  std::mutex mutex;
  std::condition_variable cond;
};

extern MessageQueue msg_queue;
extern AckState ack_state;

void message_queue_init(MessageQueue* q);
int message_queue_push(MessageQueue* q, const char* message, const char* ack_name);
int message_queue_pop(MessageQueue* q, QueuedMessage* out);

// The single entry point for events; safe from any thread.
void send_with_ack(const char* message, const char* ack_name);
// Called with every inbound line that starts with "ack_".
void signal_ack_received(const char* line);
void ack_thread_func();

// An event is queued or waits for its answer.
bool delivery_pending();

void start_ack_system();
void stop_ack_system();
